#include "state_json.hpp"

#include "loop/errors.hpp"

#include <cmath>
#include <limits>

namespace vesk::state_tool {

namespace {

constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_escape_key(const std::string& key) {
  return key == "$bytes" || key == "$tuple" || key == "$dict" || key == "$text";
}

bool is_special_float_text(const std::string& s) { return s == "NaN" || s == "Infinity" || s == "-Infinity"; }

Json float_to_json(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

[[noreturn]] void bad(const std::string& where, const std::string& what) {
  throw ValueError("bad JSON for a state value at " + (where.empty() ? std::string("the top level") : where) + ": " + what);
}

Value from_json(const Json& j, const std::string& where);

Value from_json_object(const Json& j, const std::string& where) {
  if (j.size() == 1) {
    auto first = j.begin();
    const std::string& key = first.key();
    const Json& inner = first.value();
    if (key == "$bytes") {
      if (!inner.is_string()) bad(where, "\"$bytes\" needs a base64 string");
      try {
        return Value::bytes(base64_decode(inner.get_ref<const std::string&>()));
      } catch (const ValueError& e) {
        bad(where, e.what());
      }
    }
    if (key == "$text") {
      if (!inner.is_string()) bad(where, "\"$text\" needs a string");
      return Value(inner.get<std::string>());
    }
    if (key == "$tuple") {
      if (!inner.is_array()) bad(where, "\"$tuple\" needs an array");
      std::vector<Value> items;
      items.reserve(inner.size());
      for (std::size_t i = 0; i < inner.size(); ++i) items.push_back(from_json(inner[i], where + "[" + std::to_string(i) + "]"));
      return Value::tuple(std::move(items));
    }
    if (key == "$dict") {
      if (!inner.is_array()) bad(where, "\"$dict\" needs an array of [key, value] pairs");
      Dict d;
      d.reserve(inner.size());
      for (std::size_t i = 0; i < inner.size(); ++i) {
        std::string at = where + "[" + std::to_string(i) + "]";
        const Json& pair = inner[i];
        if (!pair.is_array() || pair.size() != 2) bad(at, "a \"$dict\" entry must be a [key, value] pair");
        Value k = from_json(pair[0], at + "[0]");
        if (!k.hashable()) bad(at, std::string("a dict key cannot be a ") + k.kind_name());
        d.set(std::move(k), from_json(pair[1], at + "[1]"));
      }
      return d;
    }
  }
  Dict d;
  d.reserve(j.size());
  for (const auto& [key, inner] : j.items()) d.set(Value(key), from_json(inner, where + (where.empty() ? "" : ".") + Json(key).dump()));
  return d;
}

Value from_json(const Json& j, const std::string& where) {
  switch (j.type()) {
    case Json::value_t::null: return Value();
    case Json::value_t::boolean: return Value(j.get<bool>());
    case Json::value_t::number_integer: return Value(j.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto u = j.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) bad(where, "integer does not fit in 64 bits: " + j.dump());
      return Value(static_cast<std::int64_t>(u));
    }
    case Json::value_t::number_float: return Value(j.get<double>());
    case Json::value_t::string: {
      const auto& s = j.get_ref<const std::string&>();
      if (s == "NaN") return Value(std::nan(""));
      if (s == "Infinity") return Value(HUGE_VAL);
      if (s == "-Infinity") return Value(-HUGE_VAL);
      return Value(s);
    }
    case Json::value_t::array: {
      List items;
      items.reserve(j.size());
      for (std::size_t i = 0; i < j.size(); ++i) items.push_back(from_json(j[i], where + "[" + std::to_string(i) + "]"));
      return Value(std::move(items));
    }
    case Json::value_t::object: return from_json_object(j, where);
    default: bad(where, std::string("unsupported JSON value of type ") + j.type_name());
  }
}

}  // namespace

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t n = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                      static_cast<unsigned char>(data[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(n >> s) & 63];
  }
  std::size_t rest = data.size() - i;
  if (rest) {
    std::uint32_t n = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) throw ValueError("base64 text must have a length that is a multiple of 4");
  auto digit = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    std::uint32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      int d = k >= 4 - pad ? 0 : digit(text[i + k]);
      if (d < 0) throw ValueError("invalid base64 character '" + std::string(1, text[i + k]) + "'");
      n = (n << 6) | static_cast<std::uint32_t>(d);
    }
    out += static_cast<char>((n >> 16) & 0xff);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xff);
    if (pad < 1) out += static_cast<char>(n & 0xff);
  }
  return out;
}

Json value_to_json(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::none: return nullptr;
    case Value::Kind::boolean: return v.as_bool();
    case Value::Kind::integer: return v.as_int();
    case Value::Kind::floating: return float_to_json(v.as_float());
    case Value::Kind::text:
      if (is_special_float_text(v.as_text())) return Json{{"$text", v.as_text()}};
      return v.as_text();
    case Value::Kind::bytes: return Json{{"$bytes", base64_encode(v.as_bytes())}};
    case Value::Kind::list: {
      Json out = Json::array();
      for (const auto& item : v.as_list()) out.push_back(value_to_json(item));
      return out;
    }
    case Value::Kind::tuple: {
      Json items = Json::array();
      for (const auto& item : v.as_tuple()) items.push_back(value_to_json(item));
      return Json{{"$tuple", std::move(items)}};
    }
    case Value::Kind::dict: {
      const Dict& d = v.as_dict();
      bool text_keys = true;
      for (const auto& entry : d) text_keys = text_keys && entry.first.is_text();
      if (text_keys && !(d.size() == 1 && is_escape_key(d.begin()->first.as_text()))) {
        Json out = Json::object();
        for (const auto& [key, value] : d) out[key.as_text()] = value_to_json(value);
        return out;
      }
      Json pairs = Json::array();
      for (const auto& [key, value] : d) pairs.push_back(Json::array({value_to_json(key), value_to_json(value)}));
      return Json{{"$dict", std::move(pairs)}};
    }
  }
  return nullptr;
}

Value json_to_value(const Json& json) { return from_json(json, ""); }

}  // namespace vesk::state_tool

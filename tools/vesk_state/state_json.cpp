#include "state_json.hpp"

#include "vesk/loop/errors.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <istream>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

namespace vesk::state_tool {

namespace {

constexpr const char* base64_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_escape_key(std::string_view key) {
  return key == "$bytes" || key == "$tuple" || key == "$dict" || key == "$text";
}

bool is_special_float_text(std::string_view s) { return s == "NaN" || s == "Infinity" || s == "-Infinity"; }

// ---- writing ----

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : _out(out) {}

  void value(const Value& v, int depth) {
    switch (v.kind()) {
      case Value::Kind::none: put("null"); return;
      case Value::Kind::boolean: put(v.as_bool() ? "true" : "false"); return;
      case Value::Kind::integer: put(std::to_string(v.as_int())); return;
      case Value::Kind::floating: floating(v.as_float()); return;
      case Value::Kind::text:
        if (is_special_float_text(v.as_text())) {
          open('{');
          entry_key("$text", depth + 1, true);
          text(v.as_text());
          close('}', depth, false);
          return;
        }
        text(v.as_text());
        return;
      case Value::Kind::bytes:
        open('{');
        entry_key("$bytes", depth + 1, true);
        text(base64_encode(v.as_bytes()));
        close('}', depth, false);
        return;
      case Value::Kind::list: sequence(v.as_list(), depth); return;
      case Value::Kind::tuple:
        open('{');
        entry_key("$tuple", depth + 1, true);
        sequence(v.as_tuple(), depth + 1);
        close('}', depth, false);
        return;
      case Value::Kind::dict: dict(v.as_dict(), depth); return;
    }
  }

 private:
  void put(std::string_view s) { _out.write(s.data(), static_cast<std::streamsize>(s.size())); }
  void open(char c) { _out.put(c); }
  void newline(int depth) {
    _out.put('\n');
    for (int i = 0; i < depth; ++i) put("  ");
  }
  void close(char c, int depth, bool empty) {
    if (!empty) newline(depth);
    _out.put(c);
  }
  void entry_key(std::string_view key, int depth, bool first) {
    if (!first) _out.put(',');
    newline(depth);
    text(key);
    put(": ");
  }
  void text(std::string_view s) {
    bool plain = true;
    for (char c : s) plain = plain && c >= 0x20 && c != '"' && c != '\\' && c != 0x7f;
    if (plain) {
      _out.put('"');
      put(s);
      _out.put('"');
      return;
    }
    // nlohmann's own escaping (and its refusal of text that is not UTF-8).
    put(nlohmann::json(std::string(s)).dump());
  }
  void floating(double d) {
    if (std::isnan(d)) return text("NaN");
    if (std::isinf(d)) return text(d > 0 ? "Infinity" : "-Infinity");
    put(nlohmann::json(d).dump());
  }
  template <class Items>
  void sequence(const Items& items, int depth) {
    open('[');
    bool first = true;
    for (const auto& item : items) {
      if (!first) _out.put(',');
      first = false;
      newline(depth + 1);
      value(item, depth + 1);
    }
    close(']', depth, first);
  }
  void dict(const Dict& d, int depth) {
    bool text_keys = true;
    for (const auto& entry : d) text_keys = text_keys && entry.first.is_text();
    if (text_keys && !(d.size() == 1 && is_escape_key(d.begin()->first.as_text()))) {
      open('{');
      bool first = true;
      for (const auto& [key, item] : d) {
        entry_key(key.as_text(), depth + 1, first);
        first = false;
        value(item, depth + 1);
      }
      close('}', depth, first);
      return;
    }
    open('{');
    entry_key("$dict", depth + 1, true);
    open('[');
    bool first = true;
    for (const auto& [key, item] : d) {
      if (!first) _out.put(',');
      first = false;
      newline(depth + 2);
      open('[');
      newline(depth + 3);
      value(key, depth + 3);
      _out.put(',');
      newline(depth + 3);
      value(item, depth + 3);
      close(']', depth + 2, false);
    }
    close(']', depth + 1, first);
    close('}', depth, false);
  }

  std::ostream& _out;
};

// ---- reading ----

// Builds Values straight from the parser's events: no JSON document is built first, so objects
// with millions of members take linear time, and the depth is checked before anything nests.
class ValueBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  Value take() { return std::move(*_result); }

  bool null() override { return scalar(Value()); }
  bool boolean(bool b) override { return scalar(Value(b)); }
  bool number_integer(number_integer_t i) override { return scalar(Value(static_cast<std::int64_t>(i))); }
  bool number_unsigned(number_unsigned_t u) override {
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      bad("integer does not fit in 64 bits: " + std::to_string(u));
    }
    return scalar(Value(static_cast<std::int64_t>(u)));
  }
  bool number_float(number_float_t d, const string_t&) override { return scalar(Value(d)); }
  bool string(string_t& s) override {
    // The member of {"$text": ...} stays text; it is turned into a float only if the object
    // turns out to have more members.
    if (!_frames.empty() && _frames.back().is_object && _frames.back().entries.empty() &&
        _frames.back().key == "$text") {
      _frames.back().raw_text = is_special_float_text(s);
      return scalar(Value(std::move(s)));
    }
    if (s == "NaN") return scalar(Value(std::nan("")));
    if (s == "Infinity") return scalar(Value(HUGE_VAL));
    if (s == "-Infinity") return scalar(Value(-HUGE_VAL));
    return scalar(Value(std::move(s)));
  }
  bool binary(binary_t&) override { bad("binary values have no JSON form"); }

  bool start_object(std::size_t) override { return push(true); }
  bool key(string_t& k) override {
    _frames.back().key = std::move(k);
    return true;
  }
  bool end_object() override {
    Frame frame = std::move(_frames.back());
    _frames.pop_back();
    return scalar(finish_object(frame));
  }
  bool start_array(std::size_t) override { return push(false); }
  bool end_array() override {
    Frame frame = std::move(_frames.back());
    _frames.pop_back();
    return scalar(Value(std::move(frame.items)));
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    throw ValueError(std::string("bad JSON on standard input: ") + e.what());
  }

 private:
  struct Frame {
    bool is_object = false;
    bool raw_text = false;
    std::string key;                                     // of the member being read
    std::vector<std::pair<std::string, Value>> entries;  // objects
    List items;                                          // arrays
  };

  bool push(bool is_object) {
    if (_frames.size() >= max_json_depth) {
      bad("nested deeper than " + std::to_string(max_json_depth) + " levels");
    }
    _frames.emplace_back().is_object = is_object;
    return true;
  }

  bool scalar(Value v) {
    if (_frames.empty()) {
      _result = std::move(v);
    } else if (_frames.back().is_object) {
      _frames.back().entries.emplace_back(std::move(_frames.back().key), std::move(v));
    } else {
      _frames.back().items.push_back(std::move(v));
    }
    return true;
  }

  // The path of the member being read, as in state."k"[2]; `extra` is one more step below it.
  std::string where(const std::string& extra = "") const {
    std::string out;
    for (const Frame& f : _frames) {
      if (f.is_object) {
        out += (out.empty() ? "" : ".") + nlohmann::json(f.key).dump();
      } else {
        out += "[" + std::to_string(f.items.size()) + "]";
      }
    }
    return out + extra;
  }

  [[noreturn]] void bad(const std::string& what, const std::string& extra = "") const {
    std::string at = where(extra);
    throw ValueError("bad JSON for a state value at " + (at.empty() ? std::string("the top level") : at) + ": " + what);
  }

  Value finish_object(Frame& f) {
    if (f.entries.size() == 1 && is_escape_key(f.entries.front().first)) {
      const std::string& key = f.entries.front().first;
      Value& inner = f.entries.front().second;
      // The object is finished, so the path of its own position ends one step up.
      if (key == "$bytes") {
        if (!inner.is_text()) bad("\"$bytes\" needs a base64 string");
        try {
          return Value::bytes(base64_decode(inner.as_text()));
        } catch (const ValueError& e) {
          bad(e.what());
        }
      }
      if (key == "$text") {
        if (!inner.is_text()) bad("\"$text\" needs a string");
        return std::move(inner);
      }
      if (key == "$tuple") {
        if (!inner.is_list()) bad("\"$tuple\" needs an array");
        return Value::tuple(std::move(inner.as_list()));
      }
      if (!inner.is_list()) bad("\"$dict\" needs an array of [key, value] pairs");
      List& pairs = inner.as_list();
      Dict d;
      d.reserve(pairs.size());
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        std::string at = "[" + std::to_string(i) + "]";
        if (!pairs[i].is_list() || pairs[i].as_list().size() != 2)
          bad("a \"$dict\" entry must be a [key, value] pair", at);
        List& pair = pairs[i].as_list();
        if (!pair[0].hashable()) bad(std::string("a dict key cannot be a ") + pair[0].kind_name(), at);
        d.set(std::move(pair[0]), std::move(pair[1]));
      }
      return Value(std::move(d));
    }
    if (f.raw_text && !f.entries.empty()) {
      // {"$text": "NaN", ...} with more members is a plain object after all.
      Value& first = f.entries.front().second;
      const std::string& s = first.as_text();
      first = Value(s == "NaN" ? std::nan("") : s == "Infinity" ? HUGE_VAL : -HUGE_VAL);
    }
    Dict d;
    d.reserve(f.entries.size());
    for (auto& [key, item] : f.entries) d.set(Value(std::move(key)), std::move(item));
    return Value(std::move(d));
  }

  std::vector<Frame> _frames;
  std::optional<Value> _result;
};

template <class Input>
Value read_any(Input&& input) {
  ValueBuilder builder;
  // Errors are thrown by the builder; strict: nothing but white space after the value.
  nlohmann::json::sax_parse(std::forward<Input>(input), &builder, nlohmann::json::input_format_t::json, true);
  return builder.take();
}

}  // namespace

void write_json(const Value& value, std::ostream& out) {
  JsonWriter writer(out);
  writer.value(value, 0);
}

std::string to_json_text(const Value& value) {
  std::ostringstream out;
  write_json(value, out);
  return std::move(out).str();
}

Value read_json(std::istream& in) {
  // Read whole first: parsing from memory is several times faster than from a stream.
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) text.append(buffer, static_cast<std::size_t>(in.gcount()));
  return read_any(std::string_view(text));
}
Value read_json(std::string_view text) { return read_any(text); }

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t n = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                      static_cast<unsigned char>(data[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += base64_alphabet[(n >> s) & 63];
  }
  std::size_t rest = data.size() - i;
  if (rest) {
    std::uint32_t n = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += base64_alphabet[(n >> 18) & 63];
    out += base64_alphabet[(n >> 12) & 63];
    out += rest == 2 ? base64_alphabet[(n >> 6) & 63] : '=';
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

}  // namespace vesk::state_tool

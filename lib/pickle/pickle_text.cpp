#include "vesk/pickle/detail/pickle_text.hpp"

#include "vesk/pickle/detail/pickle_opcodes.hpp"
#include "vesk/pickle/pickle.hpp"

#include <charconv>
#include <cmath>

namespace vesk::pickle::detail {
namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

Value int_line(std::string_view line, bool long_form, unsigned char op, std::size_t position) {
  std::string_view s = trim(line);
  if (!long_form && s == "00") return Value(false);
  if (!long_form && s == "01") return Value(true);
  if (long_form && !s.empty() && s.back() == 'L') s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec == std::errc::result_out_of_range) throw PickleError("integer does not fit in 64 bits", position);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) {
    throw PickleError(describe_opcode(op) + " has a malformed integer", position);
  }
  return Value(v);
}

double float_line(std::string_view line, std::size_t position) {
  std::string_view s = trim(line);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  double d = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Python's float() gives inf or 0 for such text; from_chars reports the range instead.
    bool tiny = s.find("e-") != std::string_view::npos || s.find("E-") != std::string_view::npos;
    d = tiny ? 0.0 : HUGE_VAL;
  } else if (ec != std::errc() || end != s.data() + s.size() || s.empty()) {
    throw PickleError("FLOAT has a malformed number", position);
  }
  return negative ? -d : d;
}

std::string string_line(std::string_view line, std::size_t position) {
  if (line.size() < 2 || line.front() != line.back() || (line.front() != '\'' && line.front() != '"')) {
    throw PickleError("the STRING argument must be quoted", position);
  }
  std::string_view s = line.substr(1, line.size() - 2);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == s.size()) throw PickleError("STRING ends with a lone backslash", position);
    char e = s[i];
    switch (e) {
      case '\n': break;
      case '\\': out += '\\'; break;
      case '\'': out += '\''; break;
      case '"': out += '"'; break;
      case 'a': out += '\a'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'v': out += '\v'; break;
      case 'x': {
        int h1 = i + 1 < s.size() ? hex_digit(static_cast<unsigned char>(s[i + 1])) : -1;
        int h2 = i + 2 < s.size() ? hex_digit(static_cast<unsigned char>(s[i + 2])) : -1;
        if (h1 < 0 || h2 < 0) throw PickleError("STRING has an invalid \\x escape", position);
        out += static_cast<char>(h1 * 16 + h2);
        i += 2;
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          int v = e - '0';
          for (int k = 0; k < 2 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7'; ++k)
            v = v * 8 + (s[++i] - '0');
          out += static_cast<char>(v & 0xff);
        } else {
          out += '\\';
          out += e;
        }
    }
  }
  return out;
}

std::string unicode_line(std::string_view line, std::size_t position) {
  // raw-unicode-escape: bytes are code points 0 to 255, except \uXXXX and \UXXXXXXXX after an
  // odd run of backslashes.
  std::string out;
  out.reserve(line.size());
  std::size_t i = 0;
  while (i < line.size()) {
    auto c = static_cast<unsigned char>(line[i]);
    if (c != '\\') {
      append_utf8(out, c);
      ++i;
      continue;
    }
    std::size_t run = 0;
    while (i < line.size() && line[i] == '\\') {
      out += '\\';
      ++run;
      ++i;
    }
    if (run % 2 == 0 || i == line.size() || (line[i] != 'u' && line[i] != 'U')) continue;
    out.pop_back();
    int digits = line[i] == 'u' ? 4 : 8;
    ++i;
    std::uint32_t cp = 0;
    for (int k = 0; k < digits; ++k, ++i) {
      int h = i < line.size() ? hex_digit(static_cast<unsigned char>(line[i])) : -1;
      if (h < 0) throw PickleError("UNICODE has a truncated \\u escape", position);
      cp = cp * 16 + static_cast<std::uint32_t>(h);
    }
    if (cp > 0x10ffff) throw PickleError("UNICODE has a \\U escape beyond U+10FFFF", position);
    append_utf8(out, cp);
  }
  return out;
}

std::uint64_t memo_index_line(std::string_view line, unsigned char op, std::size_t position) {
  std::uint64_t index;
  if (!parse_u64(trim(line), index)) throw PickleError(describe_opcode(op) + " has a malformed memo index", position);
  return index;
}

}  // namespace vesk::pickle::detail

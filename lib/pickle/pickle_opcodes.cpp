#include "vesk/pickle/detail/pickle_opcodes.hpp"

#include "vesk/pickle/detail/pickle_detail.hpp"

#include <charconv>
#include <cstring>

namespace vesk::pickle::detail {

const char* opcode_name(unsigned char c) {
  switch (c) {
    case op::MARK: return "MARK";
    case op::STOP: return "STOP";
    case op::POP: return "POP";
    case op::POP_MARK: return "POP_MARK";
    case op::DUP: return "DUP";
    case op::FLOAT: return "FLOAT";
    case op::INT: return "INT";
    case op::BININT: return "BININT";
    case op::BININT1: return "BININT1";
    case op::LONG: return "LONG";
    case op::BININT2: return "BININT2";
    case op::NONE: return "NONE";
    case op::PERSID: return "PERSID";
    case op::BINPERSID: return "BINPERSID";
    case op::REDUCE: return "REDUCE";
    case op::STRING: return "STRING";
    case op::BINSTRING: return "BINSTRING";
    case op::SHORT_BINSTRING: return "SHORT_BINSTRING";
    case op::UNICODE: return "UNICODE";
    case op::BINUNICODE: return "BINUNICODE";
    case op::APPEND: return "APPEND";
    case op::BUILD: return "BUILD";
    case op::GLOBAL: return "GLOBAL";
    case op::DICT: return "DICT";
    case op::EMPTY_DICT: return "EMPTY_DICT";
    case op::APPENDS: return "APPENDS";
    case op::GET: return "GET";
    case op::BINGET: return "BINGET";
    case op::INST: return "INST";
    case op::LONG_BINGET: return "LONG_BINGET";
    case op::LIST: return "LIST";
    case op::EMPTY_LIST: return "EMPTY_LIST";
    case op::OBJ: return "OBJ";
    case op::PUT: return "PUT";
    case op::BINPUT: return "BINPUT";
    case op::LONG_BINPUT: return "LONG_BINPUT";
    case op::SETITEM: return "SETITEM";
    case op::TUPLE: return "TUPLE";
    case op::EMPTY_TUPLE: return "EMPTY_TUPLE";
    case op::SETITEMS: return "SETITEMS";
    case op::BINFLOAT: return "BINFLOAT";
    case op::BINBYTES: return "BINBYTES";
    case op::SHORT_BINBYTES: return "SHORT_BINBYTES";
    case op::PROTO: return "PROTO";
    case op::NEWOBJ: return "NEWOBJ";
    case op::EXT1: return "EXT1";
    case op::EXT2: return "EXT2";
    case op::EXT4: return "EXT4";
    case op::TUPLE1: return "TUPLE1";
    case op::TUPLE2: return "TUPLE2";
    case op::TUPLE3: return "TUPLE3";
    case op::NEWTRUE: return "NEWTRUE";
    case op::NEWFALSE: return "NEWFALSE";
    case op::LONG1: return "LONG1";
    case op::LONG4: return "LONG4";
    case op::SHORT_BINUNICODE: return "SHORT_BINUNICODE";
    case op::BINUNICODE8: return "BINUNICODE8";
    case op::BINBYTES8: return "BINBYTES8";
    case op::EMPTY_SET: return "EMPTY_SET";
    case op::ADDITEMS: return "ADDITEMS";
    case op::FROZENSET: return "FROZENSET";
    case op::NEWOBJ_EX: return "NEWOBJ_EX";
    case op::STACK_GLOBAL: return "STACK_GLOBAL";
    case op::MEMOIZE: return "MEMOIZE";
    case op::FRAME: return "FRAME";
    case op::BYTEARRAY8: return "BYTEARRAY8";
    case op::NEXT_BUFFER: return "NEXT_BUFFER";
    case op::READONLY_BUFFER: return "READONLY_BUFFER";
    default: return nullptr;
  }
}

std::string describe_opcode(unsigned char c) {
  if (const char* name = opcode_name(c)) return name;
  static const char* hex = "0123456789abcdef";
  return std::string("unknown opcode 0x") + hex[c >> 4] + hex[c & 15];
}

namespace {

// How many bytes of argument an opcode carries, for walking a stream without decoding it.
enum class ArgKind : std::uint8_t { none, fixed, len1, len4, len8, line, two_lines, unknown };

struct ArgShape {
  ArgKind kind;
  std::uint8_t size;  // for fixed
};

ArgShape arg_shape(unsigned char c) {
  switch (c) {
    case op::BININT1:
    case op::BINGET:
    case op::BINPUT:
    case op::PROTO:
    case op::EXT1: return {ArgKind::fixed, 1};
    case op::BININT2:
    case op::EXT2: return {ArgKind::fixed, 2};
    case op::BININT:
    case op::LONG_BINGET:
    case op::LONG_BINPUT:
    case op::EXT4: return {ArgKind::fixed, 4};
    case op::BINFLOAT:
    case op::FRAME: return {ArgKind::fixed, 8};
    case op::SHORT_BINSTRING:
    case op::SHORT_BINBYTES:
    case op::SHORT_BINUNICODE:
    case op::LONG1: return {ArgKind::len1, 0};
    case op::BINSTRING:
    case op::BINUNICODE:
    case op::BINBYTES:
    case op::LONG4: return {ArgKind::len4, 0};
    case op::BINUNICODE8:
    case op::BINBYTES8:
    case op::BYTEARRAY8: return {ArgKind::len8, 0};
    case op::INT:
    case op::LONG:
    case op::FLOAT:
    case op::STRING:
    case op::UNICODE:
    case op::PERSID:
    case op::GET:
    case op::PUT: return {ArgKind::line, 0};
    case op::GLOBAL:
    case op::INST: return {ArgKind::two_lines, 0};
    default: return {opcode_name(c) ? ArgKind::none : ArgKind::unknown, 0};
  }
}

}  // namespace

bool parse_u64(std::string_view s, std::uint64_t& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// Finds the memo indices that some GET reads, from `pos` to STOP, so that memo entries nobody
// reads cost nothing. Stops quietly where the stream goes wrong: decoding fails there anyway.
void scan_fetched(std::string_view data, std::size_t pos, std::unordered_set<std::uint64_t>& fetched) {
  const auto* d = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  while (pos < n) {
    unsigned char c = d[pos++];
    if (c == op::STOP) return;
    ArgShape shape = arg_shape(c);
    std::size_t left = n - pos;
    switch (shape.kind) {
      case ArgKind::unknown: return;
      case ArgKind::none: break;
      case ArgKind::fixed:
        if (left < shape.size) return;
        if (c == op::BINGET) fetched.insert(d[pos]);
        if (c == op::LONG_BINGET) fetched.insert(get_le(d + pos, 4));
        pos += shape.size;
        break;
      case ArgKind::len1:
      case ArgKind::len4:
      case ArgKind::len8: {
        int w = shape.kind == ArgKind::len1 ? 1 : shape.kind == ArgKind::len4 ? 4 : 8;
        if (left < static_cast<std::size_t>(w)) return;
        std::uint64_t len = get_le(d + pos, static_cast<std::size_t>(w));
        if (len > left - static_cast<std::size_t>(w)) return;
        pos += static_cast<std::size_t>(w) + len;
        break;
      }
      case ArgKind::line:
      case ArgKind::two_lines: {
        int lines = shape.kind == ArgKind::line ? 1 : 2;
        for (int i = 0; i < lines; ++i) {
          const void* nl = std::memchr(d + pos, '\n', n - pos);
          if (!nl) return;
          std::size_t end = static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - d);
          std::uint64_t index;
          if (c == op::GET && parse_u64(data.substr(pos, end - pos), index)) fetched.insert(index);
          pos = end + 1;
        }
        break;
      }
    }
  }
}

}  // namespace vesk::pickle::detail

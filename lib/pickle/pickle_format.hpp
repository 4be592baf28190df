#pragma once
// The pickle byte format's building blocks: the opcodes, text as pickle accepts it, and the
// shortest forms of integers and sized strings. For codecs that write or read one fixed layout
// straight to bytes, such as the message batch, beside the general reader and writer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesk::pickle {

namespace op {
inline constexpr unsigned char MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', DUP = '2', FLOAT = 'F', INT = 'I',
                               BININT = 'J', BININT1 = 'K', LONG = 'L', BININT2 = 'M', NONE = 'N', PERSID = 'P',
                               BINPERSID = 'Q', REDUCE = 'R', STRING = 'S', BINSTRING = 'T', SHORT_BINSTRING = 'U',
                               UNICODE = 'V', BINUNICODE = 'X', APPEND = 'a', BUILD = 'b', GLOBAL = 'c', DICT = 'd',
                               EMPTY_DICT = '}', APPENDS = 'e', GET = 'g', BINGET = 'h', INST = 'i', LONG_BINGET = 'j',
                               LIST = 'l', EMPTY_LIST = ']', OBJ = 'o', PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r',
                               SETITEM = 's', TUPLE = 't', EMPTY_TUPLE = ')', SETITEMS = 'u', BINFLOAT = 'G',
                               BINBYTES = 'B', SHORT_BINBYTES = 'C', PROTO = 0x80, NEWOBJ = 0x81, EXT1 = 0x82,
                               EXT2 = 0x83, EXT4 = 0x84, TUPLE1 = 0x85, TUPLE2 = 0x86, TUPLE3 = 0x87, NEWTRUE = 0x88,
                               NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b, SHORT_BINUNICODE = 0x8c, BINUNICODE8 = 0x8d,
                               BINBYTES8 = 0x8e, EMPTY_SET = 0x8f, ADDITEMS = 0x90, FROZENSET = 0x91, NEWOBJ_EX = 0x92,
                               STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95, BYTEARRAY8 = 0x96, NEXT_BUFFER = 0x97,
                               READONLY_BUFFER = 0x98;
}  // namespace op

// Python writes containers in slices of this many items (MARK ... APPENDS or SETITEMS); so do the
// Writer and the message-batch codec, so that a reader never holds more than one slice above a
// mark.
inline constexpr std::size_t container_slice = 1000;

// Whether s is at most 16 bytes, all ASCII: the usual key, checked with two loads.
inline bool short_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
    return ((a | b) & 0x8080808080808080ull) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return ((a | b) & 0x80808080u) == 0;
  }
  return false;
}

// The whole check of valid_utf8(), out of line so that the short case stays small.
[[gnu::noinline]] inline bool valid_utf8_scan(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // Most text is ASCII: skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if (chunk & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    std::uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
      n = 1;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      n = 2;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= n) return false;
    for (int i = 1; i <= n; ++i) {
      unsigned char cc = p[i];
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff))) return false;
    p += n + 1;
  }
  return true;
}

// UTF-8 as Python's pickle accepts it: well-formed sequences, plus encoded surrogates, which
// Python writes for strings holding lone surrogates. Short ASCII text, most keys, is checked
// inline.
inline bool valid_utf8(std::string_view s) noexcept { return short_ascii(s) || valid_utf8_scan(s); }

// The unsigned little-endian integer in the n <= 8 bytes at p, as lengths and BININTs hold them.
inline std::uint64_t get_le(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// The integer of LONG1 and LONG4: n bytes of little-endian two's complement. False when it does
// not fit in 64 bits.
inline bool int_from_le_bytes(const unsigned char* p, std::size_t n, std::int64_t& out) noexcept {
  if (n == 0) {
    out = 0;
    return true;
  }
  bool negative = p[n - 1] & 0x80;
  if (n > 8) {
    unsigned char ext = negative ? 0xff : 0x00;
    for (std::size_t i = 8; i < n; ++i) {
      if (p[i] != ext) return false;
    }
    if (static_cast<bool>(p[7] & 0x80) != negative) return false;
    n = 8;
  }
  std::uint64_t u = get_le(p, n);
  if (n < 8 && negative) u |= ~std::uint64_t{0} << (8 * n);
  out = static_cast<std::int64_t>(u);
  return true;
}

// Integer and sized-string opcodes, the shortest form for each value, written through any output
// with room(n) (space for up to 10 bytes), commit(n) and bytes(s): the writer's buffers and the
// channel's batch encoder share them.
template <class Out>
void put_le(Out& out, unsigned char op, std::uint64_t v, int n) {
  char* p = out.room(9);
  p[0] = static_cast<char>(op);
  for (int i = 0; i < n; ++i) p[1 + i] = static_cast<char>((v >> (8 * i)) & 0xff);
  out.commit(static_cast<std::size_t>(n) + 1);
}

template <class Out>
void put_int(Out& out, std::int64_t i) {
  if (i >= 0 && i < 0x100) {
    char* p = out.room(2);
    p[0] = static_cast<char>(op::BININT1);
    p[1] = static_cast<char>(i);
    out.commit(2);
  } else if (i >= 0 && i < 0x10000) {
    put_le(out, op::BININT2, static_cast<std::uint64_t>(i), 2);
  } else if (i >= INT32_MIN && i <= INT32_MAX) {
    put_le(out, op::BININT, static_cast<std::uint64_t>(i), 4);
  } else {
    // LONG1: the shortest little-endian two's complement form.
    auto u = static_cast<std::uint64_t>(i);
    unsigned char b[8];
    for (int k = 0; k < 8; ++k) b[k] = static_cast<unsigned char>((u >> (8 * k)) & 0xff);
    int n = 8;
    while (n > 1 && ((b[n - 1] == 0x00 && !(b[n - 2] & 0x80)) || (b[n - 1] == 0xff && (b[n - 2] & 0x80)))) --n;
    char* p = out.room(10);
    p[0] = static_cast<char>(op::LONG1);
    p[1] = static_cast<char>(n);
    std::memcpy(p + 2, b, static_cast<std::size_t>(n));
    out.commit(static_cast<std::size_t>(n) + 2);
  }
}

template <class Out>
void put_sized(Out& out, std::string_view s, unsigned char op1, unsigned char op4, unsigned char op8) {
  std::size_t n = s.size();
  if (n < 0x100) {
    char* p = out.room(2);
    p[0] = static_cast<char>(op1);
    p[1] = static_cast<char>(n);
    out.commit(2);
  } else if (n <= 0xffffffffu) {
    put_le(out, op4, n, 4);
  } else {
    put_le(out, op8, n, 8);
  }
  out.bytes(s);
}

}  // namespace vesk::pickle

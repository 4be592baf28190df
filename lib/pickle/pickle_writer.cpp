#include "vesk/pickle/pickle.hpp"

#include "vesk/pickle/detail/pickle_detail.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <type_traits>

namespace vesk::pickle {

namespace {

using namespace detail;

// Gives `out` room for `more` bytes in a new buffer that asks for huge pages before it is first
// touched: on virtual machines the page faults of filling a large output cost more than
// encoding it.
void grow_output(std::string& out, std::size_t more) {
  std::string bigger;
  bigger.reserve(out.size() + more);
  vesk::detail::advise_huge_pages(bigger.data(), bigger.capacity());
  bigger.append(out);
  out.swap(bigger);
}

// About the output of a value, judged from its size and its first entry or item (walking every
// nested container would cost as much as encoding it): state maps hold entries of one shape.
std::size_t output_guess(const Value& v, int depth = 0) {
  // A first entry far larger than the rest must not reserve gigabytes: beyond the cap the
  // output grows as it goes.
  constexpr std::size_t cap = std::size_t{256} << 20;
  auto times = [](std::size_t count, std::size_t each) { return each != 0 && count > cap / each ? cap : count * each; };
  auto item = [depth](const Value& first) { return depth < 2 ? 8 + output_guess(first, depth + 1) : 24; };
  std::size_t guess = 10;
  switch (v.kind()) {
    case Value::Kind::dict: {
      const Dict& d = v.as_dict();
      if (d.empty()) return 2;
      const auto& [key, value] = *d.begin();
      guess = 16 + times(d.size(), output_guess(key, depth + 1) + (depth < 2 ? output_guess(value, depth + 1) : 16));
      break;
    }
    case Value::Kind::list:
      guess = v.as_list().empty() ? 2 : 16 + times(v.as_list().size(), item(v.as_list().front()));
      break;
    case Value::Kind::tuple:
      guess = v.as_tuple().empty() ? 2 : 16 + times(v.as_tuple().size(), item(v.as_tuple().front()));
      break;
    case Value::Kind::text: guess = 9 + v.as_text().size(); break;
    case Value::Kind::bytes: guess = 9 + v.as_bytes().size(); break;
    default: break;
  }
  return std::min(guess, cap);
}

// Most keys and texts are a few bytes long: copied with a few fixed-size moves instead of a call.
inline void copy_short(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// Collects small writes in a buffer on the stack and hands them to the string in large pieces:
// appending a few bytes at a time to a std::string costs more than the encoding itself. When
// encoding fails part way, the string is put back as it was, so a Writer stays usable.
class Sink {
 public:
  explicit Sink(std::string& out) noexcept : _out(out), _start(out.size()), _exceptions(std::uncaught_exceptions()) {}
  ~Sink() {
    if (std::uncaught_exceptions() > _exceptions) {
      _out.resize(_start);
      return;
    }
    try {
      flush();
    } catch (...) {  // flush() is called explicitly wherever its failure must be seen
    }
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void byte(unsigned char c) {
    if (_n == buffer_capacity) flush();
    _buf[_n++] = static_cast<char>(c);
  }
  // Room for n <= 258 bytes; commit() says how many were written.
  char* room(std::size_t n) {
    if (buffer_capacity - _n < n) flush();
    return _buf + _n;
  }
  void commit(std::size_t n) noexcept { _n += n; }
  void bytes(std::string_view s) {
    if (s.size() <= buffer_capacity - _n) {
      copy_short(_buf + _n, s.data(), s.size());
      _n += s.size();
    } else {
      flush();
      if (_out.capacity() - _out.size() < s.size()) grow(s.size());
      _out.append(s);
    }
  }
  void flush() {
    if (_out.capacity() - _out.size() < _n) grow(_n);
    _out.append(_buf, _n);
    _n = 0;
  }

 private:
  // Doubles the output into a new buffer that asks for huge pages before it is first touched:
  // on virtual machines the page faults of filling a large output cost more than encoding it.
  void grow(std::size_t more) { grow_output(_out, std::max(more, _out.capacity())); }

  static constexpr std::size_t buffer_capacity = 8192;
  std::string& _out;
  std::size_t _start;
  int _exceptions;
  std::size_t _n = 0;
  char _buf[buffer_capacity];
};

void put_byte(Sink& out, unsigned char op) { out.byte(op); }

// For one scalar of the streaming Writer: its few header bytes go to a small buffer, its text or
// bytes straight to the output. Cheaper per call than a Sink, which is built for whole values.
class ScalarSink {
 public:
  explicit ScalarSink(std::string& out) noexcept : _out(out) {}
  char* room(std::size_t) noexcept { return _buf + _n; }
  void commit(std::size_t n) noexcept { _n += n; }
  void bytes(std::string_view s) {
    flush();
    _out.append(s);
  }
  void flush() {
    _out.append(_buf, _n);
    _n = 0;
  }

 private:
  std::string& _out;
  std::size_t _n = 0;
  char _buf[32];
};

template <class Out>
void put_float(Out& out, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  char* p = out.room(9);
  p[0] = static_cast<char>(op::BINFLOAT);
  for (int k = 0; k < 8; ++k) p[1 + k] = static_cast<char>((bits >> (8 * (7 - k))) & 0xff);
  out.commit(9);
}

template <class Out>
void put_text(Out& out, std::string_view s) {
  if (!valid_utf8(s))
    throw ValueError("cannot pickle text that is not valid UTF-8: " +
                     Value(Value::bytes(std::string(s.substr(0, 40)))).repr());
  if constexpr (std::is_same_v<Out, Sink>) {
    // Short text, the most common item of all: header and bytes in one go.
    if (s.size() < 0x100) {
      char* p = out.room(s.size() + 2);
      p[0] = static_cast<char>(op::SHORT_BINUNICODE);
      p[1] = static_cast<char>(s.size());
      copy_short(p + 2, s.data(), s.size());
      out.commit(s.size() + 2);
      return;
    }
  }
  put_sized(out, s, op::SHORT_BINUNICODE, op::BINUNICODE, op::BINUNICODE8);
}

template <class Out>
void put_bytes(Out& out, std::string_view b) {
  put_sized(out, b, op::SHORT_BINBYTES, op::BINBYTES, op::BINBYTES8);
}

void put_value(Sink& out, const Value& v, std::size_t depth);

void put_items(Sink& out, const std::vector<Value>& items, std::size_t depth) {
  for (const auto& item : items) put_value(out, item, depth);
}

void put_list(Sink& out, const List& list, std::size_t depth) {
  put_byte(out, op::EMPTY_LIST);
  std::size_t n = list.size();
  for (std::size_t start = 0; start < n; start += container_slice) {
    std::size_t end = std::min(n, start + container_slice);
    if (end - start == 1) {
      put_value(out, list[start], depth);
      put_byte(out, op::APPEND);
      continue;
    }
    put_byte(out, op::MARK);
    for (std::size_t i = start; i < end; ++i) put_value(out, list[i], depth);
    put_byte(out, op::APPENDS);
  }
}

void put_tuple(Sink& out, const std::vector<Value>& items, std::size_t depth) {
  switch (items.size()) {
    case 0: put_byte(out, op::EMPTY_TUPLE); return;
    case 1:
      put_items(out, items, depth);
      put_byte(out, op::TUPLE1);
      return;
    case 2:
      put_items(out, items, depth);
      put_byte(out, op::TUPLE2);
      return;
    case 3:
      put_items(out, items, depth);
      put_byte(out, op::TUPLE3);
      return;
    default:
      put_byte(out, op::MARK);
      put_items(out, items, depth);
      put_byte(out, op::TUPLE);
  }
}

void put_dict(Sink& out, const Dict& dict, std::size_t depth) {
  put_byte(out, op::EMPTY_DICT);
  const auto& entries = dict.entries();
  std::size_t n = entries.size();
  for (std::size_t start = 0; start < n; start += container_slice) {
    std::size_t end = std::min(n, start + container_slice);
    if (end - start == 1) {
      put_value(out, entries[start].first, depth);
      put_value(out, entries[start].second, depth);
      put_byte(out, op::SETITEM);
      continue;
    }
    put_byte(out, op::MARK);
    for (std::size_t i = start; i < end; ++i) {
      // Nested dicts live apart on the heap: fetch the ones a few entries ahead, first the dict,
      // then its entries, so that the walk does not wait on memory at every step.
      if (i + 12 < n && entries[i + 12].second.is_dict()) __builtin_prefetch(&entries[i + 12].second.as_dict());
      if (i + 6 < n && entries[i + 6].second.is_dict()) {
        const auto& inner = entries[i + 6].second.as_dict().entries();
        const char* first = reinterpret_cast<const char*>(inner.data());
        const std::size_t bytes = std::min<std::size_t>(inner.size() * sizeof(inner[0]), 512);
        for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(first + at);
      }
      // Keys are nearly always text: a branch that is always right costs less than the dispatch.
      if (entries[i].first.is_text()) {
        put_text(out, entries[i].first.as_text());
      } else {
        put_value(out, entries[i].first, depth);
      }
      put_value(out, entries[i].second, depth);
    }
    put_byte(out, op::SETITEMS);
  }
}

void check_depth(std::size_t depth) {
  if (depth > max_depth) {
    throw ValueError("cannot pickle a value nested deeper than " + std::to_string(max_depth) + " levels");
  }
}

void put_value(Sink& out, const Value& v, std::size_t depth) {
  switch (v.kind()) {
    case Value::Kind::none: put_byte(out, op::NONE); return;
    case Value::Kind::boolean: put_byte(out, v.as_bool() ? op::NEWTRUE : op::NEWFALSE); return;
    case Value::Kind::integer: put_int(out, v.as_int()); return;
    case Value::Kind::floating: put_float(out, v.as_float()); return;
    case Value::Kind::text: put_text(out, v.as_text()); return;
    case Value::Kind::bytes: put_bytes(out, v.as_bytes()); return;
    case Value::Kind::list:
      check_depth(depth + 1);
      put_list(out, v.as_list(), depth + 1);
      return;
    case Value::Kind::tuple:
      check_depth(depth + 1);
      put_tuple(out, v.as_tuple(), depth + 1);
      return;
    case Value::Kind::dict:
      check_depth(depth + 1);
      put_dict(out, v.as_dict(), depth + 1);
      return;
  }
}

void put_header(std::string& out) {
  char buf[2] = {static_cast<char>(op::PROTO), 4};
  out.append(buf, 2);
}

// The one byte the streaming writer adds itself (marks, container ends).
void put_byte(std::string& out, unsigned char op) { out.push_back(static_cast<char>(op)); }

}  // namespace

// ---- whole values ----

void dump_into(std::string& out, const Value& value) {
  const std::size_t guess = output_guess(value);
  if (out.capacity() - out.size() < guess) grow_output(out, guess);
  Sink sink(out);
  char* p = sink.room(2);
  p[0] = static_cast<char>(op::PROTO);
  p[1] = 4;
  sink.commit(2);
  put_value(sink, value, 0);
  put_byte(sink, op::STOP);
  sink.flush();
}

std::string dumps(const Value& value) {
  std::string out;
  dump_into(out, value);
  return out;
}

// ---- streaming ----

enum class FrameKind : std::uint8_t { list, tuple, dict };

struct Writer::Frame {
  FrameKind kind;
  std::size_t count = 0;    // items (for a dict: keys and values) written so far
  std::size_t batch = 0;    // items since the current batch's MARK
  std::size_t mark_at = 0;  // where this container's MARK sits in the output
};

Writer::Writer(std::string& out) : _out(out) { put_header(_out); }

Writer::~Writer() = default;

void Writer::reserve(std::size_t more) {
  std::size_t before = _out.capacity();
  _out.reserve(_out.size() + more);
  if (_out.capacity() != before) vesk::detail::advise_huge_pages(_out.data(), _out.capacity());
}

void Writer::none() {
  put_byte(_out, op::NONE);
  item_added();
}

void Writer::boolean(bool b) {
  put_byte(_out, b ? op::NEWTRUE : op::NEWFALSE);
  item_added();
}

void Writer::integer(std::int64_t i) {
  ScalarSink sink(_out);
  put_int(sink, i);
  sink.flush();
  item_added();
}

void Writer::floating(double d) {
  ScalarSink sink(_out);
  put_float(sink, d);
  sink.flush();
  item_added();
}

void Writer::text(std::string_view s) {
  ScalarSink sink(_out);
  put_text(sink, s);
  sink.flush();
  item_added();
}

void Writer::bytes(std::string_view b) {
  ScalarSink sink(_out);
  put_bytes(sink, b);
  sink.flush();
  item_added();
}

void Writer::value(const Value& v) {
  // Scalars, most states, skip the buffering that whole containers need.
  switch (v.kind()) {
    case Value::Kind::none: return none();
    case Value::Kind::boolean: return boolean(v.as_bool());
    case Value::Kind::integer: return integer(v.as_int());
    case Value::Kind::floating: return floating(v.as_float());
    case Value::Kind::text: return text(v.as_text());
    case Value::Kind::bytes: return bytes(v.as_bytes());
    default: break;
  }
  {
    Sink sink(_out);
    put_value(sink, v, _stack.size());
    sink.flush();
  }
  item_added();
}

void Writer::dict(const Dict& d) {
  check_depth(_stack.size() + 1);
  {
    Sink sink(_out);
    put_dict(sink, d, _stack.size() + 1);
    sink.flush();
  }
  item_added();
}

void Writer::begin_list() {
  check_depth(_stack.size() + 1);
  put_byte(_out, op::EMPTY_LIST);
  _stack.push_back(Frame{FrameKind::list, 0, 0, _out.size()});
  put_byte(_out, op::MARK);
}

void Writer::begin_tuple() {
  check_depth(_stack.size() + 1);
  _stack.push_back(Frame{FrameKind::tuple, 0, 0, _out.size()});
  put_byte(_out, op::MARK);
}

void Writer::begin_dict() {
  check_depth(_stack.size() + 1);
  put_byte(_out, op::EMPTY_DICT);
  _stack.push_back(Frame{FrameKind::dict, 0, 0, _out.size()});
  put_byte(_out, op::MARK);
}

void Writer::item_added() {
  if (_stack.empty()) {
    ++_top_items;
    return;
  }
  Frame& f = _stack.back();
  ++f.count;
  if (f.kind == FrameKind::tuple) return;
  ++f.batch;
  std::size_t limit = f.kind == FrameKind::list ? container_slice : 2 * container_slice;
  if (f.batch == limit) {
    put_byte(_out, f.kind == FrameKind::list ? op::APPENDS : op::SETITEMS);
    f.mark_at = _out.size();
    put_byte(_out, op::MARK);
    f.batch = 0;
  }
}

void Writer::end_list() {
  if (_stack.empty() || _stack.back().kind != FrameKind::list)
    throw ValueError("pickle Writer: end_list() without begin_list()");
  Frame f = _stack.back();
  _stack.pop_back();
  if (f.batch == 0) {
    _out.pop_back();  // the MARK of a batch that stayed empty
  } else {
    put_byte(_out, op::APPENDS);
  }
  item_added();
}

void Writer::end_tuple() {
  if (_stack.empty() || _stack.back().kind != FrameKind::tuple)
    throw ValueError("pickle Writer: end_tuple() without begin_tuple()");
  Frame f = _stack.back();
  _stack.pop_back();
  // Short tuples get their own opcodes, as Python writes them; dropping the MARK means moving
  // what follows it, which is cheap only while the items are small.
  constexpr std::size_t small_tuple_bytes = 4096;
  if (f.count == 0) {
    _out.back() = static_cast<char>(op::EMPTY_TUPLE);
  } else if (f.count <= 3 && _out.size() - f.mark_at <= small_tuple_bytes) {
    _out.erase(f.mark_at, 1);
    put_byte(_out, f.count == 1 ? op::TUPLE1 : f.count == 2 ? op::TUPLE2 : op::TUPLE3);
  } else {
    put_byte(_out, op::TUPLE);
  }
  item_added();
}

void Writer::end_dict() {
  if (_stack.empty() || _stack.back().kind != FrameKind::dict)
    throw ValueError("pickle Writer: end_dict() without begin_dict()");
  Frame f = _stack.back();
  if (f.count % 2 != 0) throw ValueError("pickle Writer: end_dict() after a key without its value");
  _stack.pop_back();
  if (f.batch == 0) {
    _out.pop_back();
  } else {
    put_byte(_out, op::SETITEMS);
  }
  item_added();
}

void Writer::finish() {
  if (!_stack.empty()) throw ValueError("pickle Writer: finish() inside an open container");
  if (_top_items != 1) {
    throw ValueError("pickle Writer: finish() needs exactly one value, got " + std::to_string(_top_items));
  }
  put_byte(_out, op::STOP);
  _top_items = 2;  // a second finish() is misuse too
}

}  // namespace vesk::pickle

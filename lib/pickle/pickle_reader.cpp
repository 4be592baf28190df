#include "vesk/pickle/pickle.hpp"

#include "vesk/pickle/detail/pickle_detail.hpp"
#include "vesk/pickle/detail/pickle_direct.hpp"
#include "vesk/pickle/detail/pickle_opcodes.hpp"
#include "vesk/pickle/detail/pickle_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace vesk::pickle {

PickleError::PickleError(const std::string& message, std::size_t position)
    : ValueError(message + " (at byte " + std::to_string(position) + " of the pickle)"), _position(position) {}

namespace {

using namespace detail;

// What a global may stand for: only the two callables through which Python writes bytes in
// the protocols that have no bytes opcode.
enum class Special : std::uint8_t { none, codecs_encode, bytes_type };

constexpr std::uint32_t no_entry = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t scalar_weight = 40;
constexpr std::uint64_t container_weight = 64;

struct Item {
  Item() = default;
  Item(Value&& v, std::uint64_t w) : value(std::move(v)), weight(w) {}
  // Builds the value in place, for the scalars that most of a pickle is made of.
  template <class T>
  Item(std::in_place_t, T&& v, std::uint64_t w) : value(std::forward<T>(v)), weight(w) {}
  Value value;
  std::uint64_t weight = scalar_weight;  // about the bytes a copy of the value costs
  std::uint32_t depth = 0;               // nesting of containers inside the value
  std::uint32_t pending = no_entry;      // first memo entry still waiting for this item
  bool shared = false;                   // another reference (memo GET, DUP) holds a copy
  Special special = Special::none;
};

struct MemoEntry {
  Value value;
  std::uint64_t weight = 0;
  std::uint32_t depth = 0;
  Special special = Special::none;
  bool pending = true;  // the value is still the stack item at stack_index
  std::size_t stack_index = 0;
  std::uint32_t next = no_entry;  // the next entry pending on the same item
};

// Decodes one pickle. Python's memo holds references; Value copies deeply. The two agree as long
// as a container is never changed after a second reference to it exists, which holds for every
// acyclic value Python writes (it fills each container before it can be referenced again). So a
// memo entry follows its stack item until the item is consumed, then keeps a copy; a GET or DUP
// copies; and changing a container that has a second reference (including a container holding
// itself) is refused rather than decoded to something Python would not produce.
class Reader {
 public:
  explicit Reader(std::string_view data)
      : _data(data),
        _bytes(reinterpret_cast<const unsigned char*>(data.data())),
        _copy_budget((64ull << 20) + 32ull * data.size()) {}

  Value run();

 private:
  // run() reads the opcodes our own writer emits; the others go down this chain by kind.
  Value finish();
  void load_other();
  void load_structure();
  void load_sequence();
  void load_global_or_refuse();

  std::string_view _data;
  const unsigned char* _bytes;
  std::size_t _pos = 0;
  std::size_t _op_pos = 0;
  unsigned char _op = 0;
  std::vector<Item> _stack;
  std::vector<std::size_t> _marks;
  std::size_t _last_mark_pos = 0;  // where the latest MARK opcode stood in the input

  // Memo: index → entry, only for indices that some GET reads.
  bool _scanned = false;
  std::unordered_set<std::uint64_t> _fetched;
  std::unordered_map<std::uint64_t, std::uint32_t> _memo;
  std::vector<MemoEntry> _entries;
  // Which indices hold a value, for MEMOIZE, whose index is the number of them.
  std::uint64_t _memo_len = 0;
  bool _put_seen = false;
  std::vector<bool> _assigned_small;
  std::unordered_set<std::uint64_t> _assigned_big;

  std::uint64_t _copy_budget;

  [[noreturn]] void fail(const std::string& message) const { throw PickleError(message, _op_pos); }
  [[noreturn]] void refuse(const std::string& why) const {
    fail("refused opcode " + describe_opcode(_op) + ": " + why);
  }

  // Kept small enough to inline into every opcode: the message is built out of line.
  const unsigned char* need(std::uint64_t n) {
    std::size_t left = _data.size() - _pos;
    if (n > left) [[unlikely]]
      truncated(n, left);
    const unsigned char* p = _bytes + _pos;
    _pos += static_cast<std::size_t>(n);
    return p;
  }
  [[noreturn, gnu::cold, gnu::noinline]] void truncated(std::uint64_t n, std::size_t left) const {
    fail("truncated pickle: " + describe_opcode(_op) + " needs " + std::to_string(n) + " more bytes, " +
         std::to_string(left) + " remain");
  }
  [[noreturn, gnu::cold, gnu::noinline]] void invalid_text() const {
    fail(describe_opcode(_op) + " holds text that is not valid UTF-8");
  }
  std::uint64_t read_le(int n) { return get_le(need(static_cast<std::uint64_t>(n)), static_cast<std::size_t>(n)); }
  std::string_view read_line() {
    const void* nl = std::memchr(_bytes + _pos, '\n', _data.size() - _pos);
    if (!nl) fail("truncated pickle: " + describe_opcode(_op) + " has no end of line");
    std::size_t end = static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - _bytes);
    std::string_view line = _data.substr(_pos, end - _pos);
    _pos = end + 1;
    return line;
  }
  std::string_view read_sized(int width) {
    std::uint64_t n = read_le(width);
    if (width == 4 && (_op == op::BINSTRING) && (n & 0x80000000u)) fail("BINSTRING has a negative length");
    return std::string_view(reinterpret_cast<const char*>(need(n)), static_cast<std::size_t>(n));
  }

  std::size_t fence() const { return _marks.empty() ? 0 : _marks.back(); }
  void need_items(std::size_t n) const {
    if (_stack.size() < fence() + n) {
      fail("stack underflow: " + describe_opcode(_op) + " needs " + std::to_string(n) +
           (n == 1 ? " value" : " values") + " above the last MARK");
    }
  }
  std::size_t pop_mark() {
    if (_marks.empty()) fail(describe_opcode(_op) + " without a MARK");
    std::size_t m = _marks.back();
    _marks.pop_back();
    return m;
  }

  void charge(std::uint64_t weight) {
    if (weight > _copy_budget) {
      fail("shared references in the pickle expand to far more data than the pickle holds");
    }
    _copy_budget -= weight;
  }

  void push(Value&& v, std::uint64_t weight) { _stack.emplace_back(std::move(v), weight); }
  void push_int(std::int64_t i) { _stack.emplace_back(std::in_place, i, scalar_weight); }
  void push_text(std::string_view s) {
    if (!valid_utf8(s)) [[unlikely]]
      invalid_text();
    _stack.emplace_back(std::in_place, s, scalar_weight + s.size());
  }
  void push_bytes(std::string_view s) { push(Value(Bytes{std::string(s)}), scalar_weight + s.size()); }
  void push_ascii(std::string s) {
    for (unsigned char c : s) {
      if (c >= 0x80) fail(describe_opcode(_op) + " holds a Python 2 string with non-ASCII bytes");
    }
    std::size_t n = s.size();
    push(Value(std::move(s)), scalar_weight + n);
  }

  // Memo entries waiting on an item take their copy when the item leaves the stack.
  void settle(Item& item) {
    for (std::uint32_t e = item.pending; e != no_entry; e = _entries[e].next) {
      MemoEntry& m = _entries[e];
      charge(item.weight);
      m.value = item.value;
      m.weight = item.weight;
      m.depth = item.depth;
      m.special = item.special;
      m.pending = false;
    }
    item.pending = no_entry;
  }
  // The item's value, ready to be moved from: memo entries waiting on it have their copy.
  Value& claim(Item& item) {
    if (item.special != Special::none) fail("a global named in the pickle can only be called, not used as a value");
    if (item.pending != no_entry) settle(item);
    return item.value;
  }
  Value take(Item& item) { return std::move(claim(item)); }
  // Sets the key and value pairs on the stack from `first` up into the dict of `target`, moving
  // them straight from the stack, which the caller then cuts back to `first`.
  void move_pairs_into(Item& target, std::size_t first) {
    for (std::size_t i = first; i < _stack.size(); i += 2) {
      check_key(_stack[i]);
      add_child(target, _stack[i]);
      add_child(target, _stack[i + 1]);
      claim(_stack[i]);
      claim(_stack[i + 1]);
    }
    Item* pairs = _stack.data() + first;
    target.value.as_dict().set_each((_stack.size() - first) / 2,
                                    [pairs](std::size_t i) -> Value& { return pairs[2 * i].value; },
                                    [pairs](std::size_t i) -> Value& { return pairs[2 * i + 1].value; });
  }
  void drop_to(std::size_t size) {
    for (std::size_t i = size; i < _stack.size(); ++i) {
      if (_stack[i].pending != no_entry) settle(_stack[i]);
    }
    _stack.resize(size);
  }
  void add_child(Item& parent, const Item& child) {
    parent.weight += child.weight;
    if (child.depth + 1 > parent.depth) {
      parent.depth = child.depth + 1;
      if (parent.depth > max_depth) fail("value nested deeper than " + std::to_string(max_depth) + " levels");
    }
  }
  Item& mutable_target(std::size_t index, Value::Kind kind) {
    Item& t = _stack[index];
    if (t.special != Special::none || t.value.kind() != kind) {
      fail(describe_opcode(_op) + " needs a " + Value::kind_name(kind) + " to change, found " +
           (t.special != Special::none ? "a global" : t.value.kind_name()));
    }
    if (t.shared) {
      fail(describe_opcode(_op) + " changes a " + Value::kind_name(kind) +
           " that is referenced more than once; shared or self-containing containers cannot be decoded as values");
    }
    return t;
  }
  void check_key(const Item& key) {
    if (key.special != Special::none) fail("a global named in the pickle cannot be a dict key");
    if (!key.value.hashable()) fail(std::string("unhashable dict key of kind ") + key.value.kind_name());
  }

  void copy_onto_stack(const Value& v, std::uint64_t weight, std::uint32_t depth, Special special) {
    charge(weight);
    Item item(Value(v), weight);
    item.depth = depth;
    item.special = special;
    item.shared = true;
    _stack.push_back(std::move(item));
  }

  void memo_put(std::uint64_t index);
  void memo_get(std::uint64_t index);
  void mark_assigned(std::uint64_t index);

  void load_appends(std::size_t first);
  void load_setitems(std::size_t first);
  void load_global(std::string_view module, std::string_view name);
  void load_reduce();
  void load_long_bytes(const unsigned char* p, std::size_t n);
  std::uint64_t memo_index(std::string_view line) const { return memo_index_line(line, _op, _op_pos); }
};

void Reader::mark_assigned(std::uint64_t index) {
  bool fresh;
  if (index < _assigned_small.size()) {
    fresh = !_assigned_small[index];
    _assigned_small[index] = true;
  } else {
    fresh = _assigned_big.insert(index).second;
  }
  if (fresh) ++_memo_len;
}

void Reader::memo_put(std::uint64_t index) {
  need_items(1);
  if (!_scanned) {
    _scanned = true;
    scan_fetched(_data, _pos, _fetched);
  }
  if (_op == op::MEMOIZE && !_put_seen) {
    ++_memo_len;  // only MEMOIZE so far: every index is new
  } else {
    if (!_put_seen) {
      // The first explicit index: from now on, track which indices are taken.
      _put_seen = true;
      _assigned_small.assign(_data.size() + 1, false);
      for (std::uint64_t i = 0; i < _memo_len; ++i) {
        if (i < _assigned_small.size())
          _assigned_small[i] = true;
        else
          _assigned_big.insert(i);
      }
    }
    mark_assigned(index);
  }
  if (_fetched.empty() || !_fetched.count(index)) return;
  if (_entries.size() >= no_entry - 1) fail("too many memo entries");
  auto e = static_cast<std::uint32_t>(_entries.size());
  Item& top = _stack.back();
  MemoEntry entry;
  entry.stack_index = _stack.size() - 1;
  entry.next = top.pending;
  _entries.push_back(std::move(entry));
  top.pending = e;
  _memo[index] = e;
}

void Reader::memo_get(std::uint64_t index) {
  auto it = _memo.find(index);
  if (it == _memo.end())
    fail(describe_opcode(_op) + " reads memo entry " + std::to_string(index) + ", which was never stored");
  const MemoEntry& m = _entries[it->second];
  if (m.pending) {
    Item& source = _stack[m.stack_index];
    source.shared = true;
    copy_onto_stack(source.value, source.weight, source.depth, source.special);
  } else {
    copy_onto_stack(m.value, m.weight, m.depth, m.special);
  }
}

void Reader::load_appends(std::size_t first) {
  if (first == 0 || first - 1 < fence()) fail(describe_opcode(_op) + " has no list to append to");
  Item& target = mutable_target(first - 1, Value::Kind::list);
  List& list = target.value.as_list();
  std::size_t n = _stack.size() - first;
  if (list.capacity() < list.size() + n) list.reserve(std::max(list.size() + n, 2 * list.capacity()));
  for (std::size_t i = first; i < _stack.size(); ++i) {
    add_child(target, _stack[i]);
    list.push_back(take(_stack[i]));
  }
  _stack.resize(first);
}

void Reader::load_setitems(std::size_t first) {
  if (first == 0 || first - 1 < fence()) fail(describe_opcode(_op) + " has no dict to set items in");
  std::size_t n = _stack.size() - first;
  if (n % 2 != 0) fail(describe_opcode(_op) + " has a key without a value");
  Item& target = mutable_target(first - 1, Value::Kind::dict);
  Dict& dict = target.value.as_dict();
  if (dict.empty() && _op_pos > _last_mark_pos) {
    std::size_t guess = dict_size_guess(n / 2, _op_pos - _last_mark_pos, _data.size() - _pos);
    if (guess != 0) dict.reserve(guess);
  }
  move_pairs_into(target, first);
  _stack.resize(first);
}

void Reader::load_global(std::string_view module, std::string_view name) {
  Special special = Special::none;
  if (module == "_codecs" && name == "encode") special = Special::codecs_encode;
  if ((module == "__builtin__" || module == "builtins") && name == "bytes") special = Special::bytes_type;
  if (special == Special::none) {
    refuse("it names the global " + std::string(module) + "." + std::string(name) +
           "; decoding never builds objects named by the input");
  }
  Item item;
  item.special = special;
  _stack.push_back(std::move(item));
}

void Reader::load_reduce() {
  need_items(2);
  Item& callable = _stack[_stack.size() - 2];
  Item& args = _stack.back();
  auto refused = [&]() { refuse("decoding calls nothing but the bytes constructors Python uses in protocols 0 to 2"); };
  if (callable.special == Special::none || args.special != Special::none || !args.value.is_tuple()) refused();
  const auto& items = args.value.as_tuple();
  Value result;
  if (callable.special == Special::bytes_type) {
    if (!items.empty()) refused();
    result = Value::bytes("");
  } else {
    if (items.size() != 2 || !items[0].is_text() || !items[1].is_text() || items[1].as_text() != "latin1") refused();
    // The text holds the bytes as code points 0 to 255.
    const std::string& text = items[0].as_text();
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if ((c == 0xc2 || c == 0xc3) && i + 1 < text.size()) {
        out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3f));
      } else {
        fail("_codecs.encode(..., 'latin1') with a character beyond U+00FF");
      }
    }
    result = Value::bytes(std::move(out));
  }
  std::uint64_t weight = scalar_weight + result.as_bytes().size();
  drop_to(_stack.size() - 2);
  push(std::move(result), weight);
}

void Reader::load_long_bytes(const unsigned char* p, std::size_t n) {
  std::int64_t v;
  if (!int_from_le_bytes(p, n, v)) fail("integer does not fit in 64 bits");
  push_int(v);
}

Value Reader::run() {
  if (_data.empty()) throw PickleError("no pickle data: the input is empty", 0);
  const std::size_t size = _data.size();
  while (true) {
    if (_pos >= size) {
      _op_pos = _pos;
      throw PickleError("truncated pickle: the data ends before STOP", _pos);
    }
    _op_pos = _pos;
    _op = _bytes[_pos++];
    switch (_op) {
      // ---- the hot paths first: what our own writer emits ----
      case op::SHORT_BINUNICODE: {
        std::size_t n = *need(1);
        push_text(std::string_view(reinterpret_cast<const char*>(need(n)), n));
        break;
      }
      case op::BININT1: push_int(*need(1)); break;
      case op::BININT2: push_int(static_cast<std::int64_t>(read_le(2))); break;
      case op::BININT: push_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(read_le(4)))); break;
      case op::MARK:
        _marks.push_back(_stack.size());
        _last_mark_pos = _op_pos;
        break;
      case op::SETITEMS: load_setitems(pop_mark()); break;
      case op::APPENDS: load_appends(pop_mark()); break;
      case op::EMPTY_DICT: push(Value(Dict()), container_weight); break;
      case op::EMPTY_LIST: push(Value(List()), container_weight); break;
      case op::MEMOIZE: memo_put(_memo_len); break;
      case op::BINPUT: memo_put(*need(1)); break;
      case op::LONG_BINPUT: memo_put(read_le(4)); break;
      case op::PUT: memo_put(memo_index(read_line())); break;
      case op::BINGET: memo_get(*need(1)); break;
      case op::LONG_BINGET: memo_get(read_le(4)); break;
      case op::GET: memo_get(memo_index(read_line())); break;

      case op::STOP: return finish();
      default: load_other();
    }
  }
}

Value Reader::finish() {
  if (!_marks.empty()) fail("STOP with an unclosed MARK");
  if (_stack.size() != 1) fail("STOP with " + std::to_string(_stack.size()) + " values on the stack instead of one");
  if (_pos != _data.size()) fail("data after STOP: " + std::to_string(_data.size() - _pos) + " bytes");
  return take(_stack.back());
}

// Protocol markers, scalars, text and bytes.
void Reader::load_other() {
  const std::size_t size = _data.size();
  switch (_op) {
    case op::PROTO: {
      unsigned v = *need(1);
      if (v > 5) fail("unsupported pickle protocol " + std::to_string(v));
      break;
    }
    case op::FRAME: {
      std::uint64_t n = read_le(8);
      if (n > size - _pos)
        fail("truncated pickle: FRAME declares " + std::to_string(n) + " bytes, " + std::to_string(size - _pos) +
             " remain");
      break;
    }

    // ---- scalars ----
    case op::NONE: push(Value(), scalar_weight); break;
    case op::NEWTRUE: push(Value(true), scalar_weight); break;
    case op::NEWFALSE: push(Value(false), scalar_weight); break;
    case op::INT: push(int_line(read_line(), false, _op, _op_pos), scalar_weight); break;
    case op::LONG: push(int_line(read_line(), true, _op, _op_pos), scalar_weight); break;
    case op::LONG1: {
      std::size_t n = *need(1);
      load_long_bytes(need(n), n);
      break;
    }
    case op::LONG4: {
      std::uint64_t n = read_le(4);
      if (n & 0x80000000u) fail("LONG4 has a negative length");
      load_long_bytes(need(n), static_cast<std::size_t>(n));
      break;
    }
    case op::FLOAT: push(Value(float_line(read_line(), _op_pos)), scalar_weight); break;
    case op::BINFLOAT: {
      push(Value(get_binfloat(need(8))), scalar_weight);
      break;
    }

    // ---- text and bytes ----
    case op::BINUNICODE: push_text(read_sized(4)); break;
    case op::BINUNICODE8: push_text(read_sized(8)); break;
    case op::UNICODE: {
      std::string text = unicode_line(read_line(), _op_pos);
      const std::size_t n = text.size();
      push(Value(std::move(text)), scalar_weight + n);
      break;
    }
    case op::SHORT_BINBYTES: push_bytes(read_sized(1)); break;
    case op::BINBYTES: push_bytes(read_sized(4)); break;
    case op::BINBYTES8: push_bytes(read_sized(8)); break;
    case op::BYTEARRAY8: push_bytes(read_sized(8)); break;
    case op::STRING: push_ascii(string_line(read_line(), _op_pos)); break;
    case op::BINSTRING: push_ascii(std::string(read_sized(4))); break;
    case op::SHORT_BINSTRING: push_ascii(std::string(read_sized(1))); break;

    default: load_structure();
  }
}

// Containers and stack manipulation.
void Reader::load_structure() {
  switch (_op) {
    // ---- containers ----
    case op::APPEND:
      need_items(2);
      load_appends(_stack.size() - 1);
      break;
    case op::SETITEM:
      need_items(3);
      load_setitems(_stack.size() - 2);
      break;
    case op::EMPTY_TUPLE: push(Value::tuple({}), container_weight); break;
    case op::TUPLE1:
    case op::TUPLE2:
    case op::TUPLE3:
    case op::TUPLE:
    case op::LIST: load_sequence(); break;
    case op::DICT: {
      std::size_t first = pop_mark();
      if ((_stack.size() - first) % 2 != 0) fail("DICT has a key without a value");
      Item container(Value(Dict()), container_weight);
      move_pairs_into(container, first);
      _stack.resize(first);
      _stack.push_back(std::move(container));
      break;
    }

    // ---- stack manipulation ----
    case op::POP:
      if (!_marks.empty() && _marks.back() == _stack.size()) {
        _marks.pop_back();
      } else {
        need_items(1);
        drop_to(_stack.size() - 1);
      }
      break;
    case op::POP_MARK: drop_to(pop_mark()); break;
    case op::DUP: {
      need_items(1);
      Item& top = _stack.back();
      top.shared = true;
      copy_onto_stack(top.value, top.weight, top.depth, top.special);
      break;
    }

    default: load_global_or_refuse();
  }
}

void Reader::load_sequence() {
  std::size_t first;
  if (_op == op::TUPLE || _op == op::LIST) {
    first = pop_mark();
  } else {
    std::size_t n = _op == op::TUPLE1 ? 1 : _op == op::TUPLE2 ? 2 : 3;
    need_items(n);
    first = _stack.size() - n;
  }
  Item container(Value(), container_weight);
  std::vector<Value> items;
  items.reserve(_stack.size() - first);
  for (std::size_t i = first; i < _stack.size(); ++i) {
    add_child(container, _stack[i]);
    items.push_back(take(_stack[i]));
  }
  _stack.resize(first);
  container.value = _op == op::LIST ? Value(List(std::move(items))) : Value::tuple(std::move(items));
  _stack.push_back(std::move(container));
}

// The only globals allowed are the bytes constructors; every other opcode that names a global,
// builds an object or is unknown is refused.
void Reader::load_global_or_refuse() {
  switch (_op) {
    // ---- globals: only the bytes constructors ----
    case op::GLOBAL: {
      std::string_view module = read_line();
      std::string_view name = read_line();
      load_global(module, name);
      break;
    }
    case op::STACK_GLOBAL: {
      need_items(2);
      Item& module = _stack[_stack.size() - 2];
      Item& name = _stack.back();
      if (!module.value.is_text() || !name.value.is_text() || module.special != Special::none ||
          name.special != Special::none) {
        refuse("its module and name must be text");
      }
      std::string m = module.value.as_text(), n = name.value.as_text();
      drop_to(_stack.size() - 2);
      load_global(m, n);
      break;
    }
    case op::REDUCE: load_reduce(); break;

    case op::BUILD:
    case op::INST:
    case op::OBJ:
    case op::NEWOBJ:
    case op::NEWOBJ_EX: refuse("decoding never builds objects"); break;
    case op::PERSID:
    case op::BINPERSID: refuse("persistent references are not supported"); break;
    case op::EXT1:
    case op::EXT2:
    case op::EXT4: refuse("extension registry references name globals"); break;
    case op::EMPTY_SET:
    case op::ADDITEMS:
    case op::FROZENSET: refuse("sets are not supported"); break;
    case op::NEXT_BUFFER:
    case op::READONLY_BUFFER: refuse("out-of-band buffers are not supported"); break;
    default: fail("corrupt pickle: " + describe_opcode(_op));
  }
}

}  // namespace

Value detail::loads_full(std::string_view data) { return Reader(data).run(); }

Value loads(std::string_view data) {
  Value out;
  if (detail::loads_direct(data, out)) return out;
  return Reader(data).run();
}

Value loads_pair_into(std::string_view data, Dict& into, std::size_t* entries_read) {
  Value out;
  std::size_t read = 0;
  if (detail::loads_direct_merging(data, out, into, read)) {
    if (entries_read) *entries_read = read;
    return out;
  }
  out = Reader(data).run();
  if (entries_read) *entries_read = 0;
  if (out.is_tuple() && out.as_tuple().size() == 2 && out.as_tuple()[1].is_dict()) {
    // Entries the fast path took in before it gave up are set again, to the same values.
    Value& second = out.as_tuple()[1];
    if (entries_read) *entries_read = second.as_dict().size();
    into.update(std::move(second.as_dict()));
    second = Value();
  }
  return out;
}

}  // namespace vesk::pickle

#include "vesk/pickle/detail/pickle_direct.hpp"

#include "vesk/pickle/detail/pickle_detail.hpp"
#include "vesk/pickle/pickle.hpp"

#include <cstdint>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace vesk::pickle::detail {

namespace {

// Values nesting this deep are left to the full reader, which reports what is too deep.
constexpr std::size_t level_limit = max_depth - 1;

// Thrown where the full reader must take over; never leaves this file.
struct Fallback {};

[[noreturn, gnu::cold, gnu::noinline]] void fall_back() { throw Fallback{}; }

// How deeply containers nest in `v`: 0 for a scalar, and more than `limit` for anything deeper
// than `limit`, which is as far as it looks.
std::size_t depth_of(const Value& v, std::size_t limit) {
  const std::vector<Value>* items = nullptr;
  switch (v.kind()) {
    case Value::Kind::list: items = &v.as_list(); break;
    case Value::Kind::tuple: items = &v.as_tuple(); break;
    case Value::Kind::dict: {
      if (limit == 0) return 1;
      std::size_t d = 0;
      for (const auto& [key, value] : v.as_dict()) {
        d = std::max({d, depth_of(key, limit - 1), depth_of(value, limit - 1)});
        if (d >= limit) break;
      }
      return d + 1;
    }
    default: return 0;
  }
  if (limit == 0) return 1;
  std::size_t d = 0;
  for (const Value& item : *items) {
    d = std::max(d, depth_of(item, limit - 1));
    if (d >= limit) break;
  }
  return d + 1;
}

// Builds a value in place of `slot`, which holds none: cheaper than assigning a temporary.
template <class... Args>
void build(Value& slot, Args&&... args) {
  slot.~Value();
  try {
    ::new (static_cast<void*>(&slot)) Value(std::forward<Args>(args)...);
  } catch (...) {
    ::new (static_cast<void*>(&slot)) Value();
    throw;
  }
}

enum class Into : std::uint8_t { items, list, dict };

// A run of values being read: the top level, the values after a MARK that will make a tuple, or
// a batch read straight into the list or dict just before its MARK. A dict's batch is kept as
// entries the dict has not adopted yet: keys and values alternate.
struct Run {
  Into into = Into::items;
  bool half = false;         // dict: the last entry has its key but not yet its value
  std::size_t level = 0;     // how many containers enclose the values of this run
  std::size_t first = 0;     // list or dict: where this batch starts
  std::size_t mark_pos = 0;  // where its MARK stands in the input
  List* list = nullptr;
  Dict* dict = nullptr;
  std::vector<Value> items;

  std::size_t count() const noexcept {
    switch (into) {
      case Into::items: return items.size();
      case Into::list: return list->size() - first;
      case Into::dict: return 2 * (dict->size() - first) - (half ? 1 : 0);
    }
    return 0;
  }
  Value& at(std::size_t i) noexcept {
    switch (into) {
      case Into::items: return items[i];
      case Into::list: return (*list)[first + i];
      case Into::dict: break;
    }
    auto& entry = dict->unadopted(first + i / 2);
    return i % 2 == 0 ? entry.first : entry.second;
  }
  // A new last value, none until it is built.
  Value& emplace() {
    switch (into) {
      case Into::items: return items.emplace_back();
      case Into::list: return list->emplace_back();
      case Into::dict: break;
    }
    if (half) {
      half = false;
      return dict->unadopted(dict->size() - 1).second;
    }
    half = true;
    return dict->append_unadopted().first;
  }
  void pop() {
    switch (into) {
      case Into::items: items.pop_back(); return;
      case Into::list: list->pop_back(); return;
      case Into::dict: break;
    }
    if (half) {
      dict->truncate(dict->size() - 1);
    } else {
      dict->unadopted(dict->size() - 1).second = Value();
    }
    half = !half;
  }
};

class DirectReader {
 public:
  // With `merge_into`, the dict that is the second item of a top-level tuple is read into it:
  // see loads_direct_merging.
  explicit DirectReader(std::string_view data, Dict* merge_into = nullptr)
      : _bytes(reinterpret_cast<const unsigned char*>(data.data())), _size(data.size()), _merge_into(merge_into) {}

  void run(Value& out);
  // After a fall-back: gives `merge_into` back what it held and the entries it has taken in.
  void give_back() noexcept;
  bool merging() const noexcept { return _merging != nullptr; }
  std::size_t merged_entries() const noexcept { return _merged_entries; }

 private:
  const unsigned char* _bytes;
  std::size_t _size;
  std::size_t _pos = 0;
  std::vector<Run> _runs;
  Dict* _merge_into;
  // `*_merge_into`, moved into the value being read; it stays where it is as values move.
  Dict* _merging = nullptr;
  std::size_t _merged_entries = 0;
  bool _merge_sized = false;

  bool is_merging(const Value& v) const noexcept { return _merging && v.is_dict() && &v.as_dict() == _merging; }
  void empty_dict();

  const unsigned char* need(std::uint64_t n) {
    if (n > _size - _pos) fall_back();
    const unsigned char* p = _bytes + _pos;
    _pos += static_cast<std::size_t>(n);
    return p;
  }
  std::uint64_t read_le(int n) { return get_le(need(static_cast<std::uint64_t>(n)), static_cast<std::size_t>(n)); }
  std::string_view read_sized(int width) {
    std::uint64_t n = width == 1 ? *need(1) : read_le(width);
    return std::string_view(reinterpret_cast<const char*>(need(n)), static_cast<std::size_t>(n));
  }

  void text(std::string_view s) {
    if (!valid_utf8(s)) fall_back();
    build(_runs.back().emplace(), s);
  }
  void bytes(std::string_view s) { build(_runs.back().emplace(), Bytes{std::string(s)}); }
  template <class C>
  void container(C empty) {
    Run& r = _runs.back();
    if (r.level >= level_limit) fall_back();
    build(r.emplace(), std::move(empty));
  }
  // A value of `r` about to move one level deeper, into a container of `r`.
  void check_nesting(const Run& r, const Value& v) {
    if (r.level >= level_limit) fall_back();
    if (v.is_list() || v.is_tuple() || v.is_dict()) {
      std::size_t room = level_limit - r.level - 1;
      if (depth_of(v, room) > room) fall_back();
    }
  }

  std::size_t batch_ahead() const;
  void open(std::size_t mark_pos);
  void close_setitems(std::size_t op_pos);
  void close_appends();
  void close_tuple();
  void collapse(std::size_t n);
  void setitem();
  void append();
};

void DirectReader::run(Value& out) {
  _runs.emplace_back();
  while (true) {
    if (_pos >= _size) fall_back();
    const std::size_t op_pos = _pos;
    const unsigned char c = _bytes[_pos++];
    switch (c) {
      case op::SHORT_BINUNICODE: text(read_sized(1)); break;
      case op::BINUNICODE: text(read_sized(4)); break;
      case op::BINUNICODE8: text(read_sized(8)); break;
      case op::BININT1: build(_runs.back().emplace(), std::int64_t{*need(1)}); break;
      case op::BININT2: build(_runs.back().emplace(), static_cast<std::int64_t>(read_le(2))); break;
      case op::BININT:
        build(_runs.back().emplace(), std::int64_t{static_cast<std::int32_t>(static_cast<std::uint32_t>(read_le(4)))});
        break;
      case op::LONG1:
      case op::LONG4: {
        std::uint64_t n = c == op::LONG1 ? *need(1) : read_le(4);
        if (n & 0x80000000u) fall_back();
        std::int64_t v;
        if (!int_from_le_bytes(need(n), static_cast<std::size_t>(n), v)) fall_back();
        build(_runs.back().emplace(), v);
        break;
      }
      case op::BINFLOAT: build(_runs.back().emplace(), get_binfloat(need(8))); break;
      case op::NONE: _runs.back().emplace(); break;
      case op::NEWTRUE: build(_runs.back().emplace(), true); break;
      case op::NEWFALSE: build(_runs.back().emplace(), false); break;
      case op::SHORT_BINBYTES: bytes(read_sized(1)); break;
      case op::BINBYTES: bytes(read_sized(4)); break;
      case op::BINBYTES8:
      case op::BYTEARRAY8: bytes(read_sized(8)); break;
      case op::EMPTY_DICT: empty_dict(); break;
      case op::EMPTY_LIST: container(List()); break;
      case op::EMPTY_TUPLE: container(Tuple{}); break;
      case op::MARK: open(op_pos); break;
      case op::SETITEMS: close_setitems(op_pos); break;
      case op::APPENDS: close_appends(); break;
      case op::TUPLE: close_tuple(); break;
      case op::TUPLE1: collapse(1); break;
      case op::TUPLE2: collapse(2); break;
      case op::TUPLE3: collapse(3); break;
      case op::SETITEM: setitem(); break;
      case op::APPEND: append(); break;
      case op::PROTO:
        if (*need(1) > 5) fall_back();
        break;
      case op::FRAME:
        if (read_le(8) > _size - _pos) fall_back();
        break;
      case op::STOP:
        if (_runs.size() != 1 || _runs.back().items.size() != 1 || _pos != _size) fall_back();
        if (_merging) {
          const Value& top = _runs.back().items.front();
          if (!top.is_tuple() || top.as_tuple().size() != 2 || !is_merging(top.as_tuple()[1])) {
            throw PickleError("corrupt pickle: the dict read into the given map is not the second item of a pair",
                              op_pos);
          }
        }
        out = std::move(_runs.back().items.front());
        return;
      default: fall_back();
    }
  }
}

void DirectReader::empty_dict() {
  Run& r = _runs.back();
  // The second item of a top-level tuple: written as two values and TUPLE2, or after a MARK
  // that nothing precedes and closed by TUPLE.
  const bool second_item = r.into == Into::items && r.items.size() == 1 &&
                           (_runs.size() == 1 || (_runs.size() == 2 && _runs.front().items.empty()));
  if (!_merge_into || _merging || !second_item) {
    container(Dict());
    return;
  }
  Dict& into = *_merge_into;
  // Room for a batch or two of new keys, so that a batch read in at the end does not double a
  // large table's memory.
  constexpr std::size_t slack = 2 * container_slice;
  if (into.capacity() - into.size() < slack) into.reserve(into.size() + std::max(slack, into.size() / 8));
  build(r.emplace(), std::move(into));
  _merging = &r.items.back().as_dict();
}

void DirectReader::give_back() noexcept {
  if (!_merging) return;
  // A batch still open on it has entries that lookups do not see yet.
  for (const Run& r : _runs) {
    if (r.into == Into::dict && r.dict == _merging) _merging->truncate(r.first);
  }
  *_merge_into = std::move(*_merging);
  _merging = nullptr;
}

// How many values the batch that starts here holds, when its end is among the next few opcodes
// (a record's fields, a short list); otherwise 0. Lets a small container be sized once.
std::size_t DirectReader::batch_ahead() const {
  std::size_t pos = _pos;
  std::size_t level = 0;
  std::size_t count = 0;
  for (int budget = 64; budget > 0 && pos < _size; --budget) {
    const unsigned char c = _bytes[pos++];
    std::uint64_t skip = 0;
    int width = 0;
    std::ptrdiff_t values = 1;  // how the values at this level change
    switch (c) {
      case op::NONE:
      case op::NEWTRUE:
      case op::NEWFALSE:
      case op::EMPTY_DICT:
      case op::EMPTY_LIST:
      case op::EMPTY_TUPLE: break;
      case op::BININT1: skip = 1; break;
      case op::BININT2: skip = 2; break;
      case op::BININT: skip = 4; break;
      case op::BINFLOAT: skip = 8; break;
      case op::SHORT_BINUNICODE:
      case op::SHORT_BINBYTES:
      case op::LONG1: width = 1; break;
      case op::BINUNICODE:
      case op::BINBYTES:
      case op::LONG4: width = 4; break;
      case op::BINUNICODE8:
      case op::BINBYTES8:
      case op::BYTEARRAY8: width = 8; break;
      case op::TUPLE1: values = 0; break;
      case op::TUPLE2:
      case op::APPEND: values = -1; break;
      case op::TUPLE3:
      case op::SETITEM: values = -2; break;
      case op::MARK: ++level; continue;
      case op::SETITEMS:
      case op::APPENDS:
      case op::TUPLE:
        if (level == 0) return c == op::TUPLE ? 0 : count;
        --level;
        values = c == op::TUPLE ? 1 : 0;
        break;
      default: return 0;
    }
    if (width != 0) {
      if (static_cast<std::size_t>(width) > _size - pos) return 0;
      skip = get_le(_bytes + pos, static_cast<std::size_t>(width));
      pos += static_cast<std::size_t>(width);
    }
    if (skip > _size - pos) return 0;
    pos += static_cast<std::size_t>(skip);
    if (level == 0) {
      if (values < 0 && count < static_cast<std::size_t>(-values)) return 0;
      count = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(count) + values);
    }
  }
  return 0;
}

// A MARK right after a list or dict starts a batch for it, read straight into it. Anything else
// starts a run of values for a tuple. So does, rarely, a MARK after a list or dict that is only
// a sibling of the tuple that follows: close_tuple() then takes the batch back out.
void DirectReader::open(std::size_t mark_pos) {
  Run& r = _runs.back();
  if (r.level >= level_limit) fall_back();
  Run next;
  next.level = r.level + 1;
  next.mark_pos = mark_pos;
  if (std::size_t n = r.count(); n > 0) {
    Value& last = r.at(n - 1);
    if (last.is_dict()) {
      next.into = Into::dict;
      next.dict = &last.as_dict();
      next.first = next.dict->size();
      if (next.first == 0) {
        if (std::size_t values = batch_ahead(); values != 0) next.dict->reserve(values / 2);
      }
    } else if (last.is_list()) {
      next.into = Into::list;
      next.list = &last.as_list();
      next.first = next.list->size();
      if (next.first == 0) next.list->reserve(batch_ahead());
    }
  }
  _runs.push_back(std::move(next));
}

void DirectReader::close_setitems(std::size_t op_pos) {
  Run& r = _runs.back();
  if (r.into != Into::dict || r.half) fall_back();
  Dict& d = *r.dict;
  const std::size_t first = r.first;
  const std::size_t entries = d.size() - first;
  if (&d == _merging) _merged_entries += entries;
  try {
    d.adopt(first);
  } catch (const TypeError&) {
    fall_back();  // an unhashable key
  }
  if (first == 0 || (&d == _merging && !_merge_sized)) {
    // Sized once from the first batch. A map being merged into grows only when the dict is
    // larger than what it holds already: most of its keys may be there.
    if (std::size_t guess = dict_size_guess(entries, op_pos - r.mark_pos, _size - _pos); guess > first) {
      d.reserve(first + guess);
    }
    if (&d == _merging) _merge_sized = true;
  }
  _runs.pop_back();
}

void DirectReader::close_appends() {
  if (_runs.back().into != Into::list) fall_back();
  _runs.pop_back();
}

void DirectReader::close_tuple() {
  if (_runs.size() == 1) fall_back();
  Run& r = _runs.back();
  std::vector<Value> items;
  switch (r.into) {
    case Into::items: items = std::move(r.items); break;
    case Into::list: {
      auto from = r.list->begin() + static_cast<std::ptrdiff_t>(r.first);
      items.assign(std::make_move_iterator(from), std::make_move_iterator(r.list->end()));
      r.list->erase(from, r.list->end());
      break;
    }
    case Into::dict: {
      std::size_t n = r.count();
      items.reserve(n);
      for (std::size_t i = 0; i < n; ++i) items.push_back(std::move(r.at(i)));
      r.dict->truncate(r.first);
      break;
    }
  }
  _runs.pop_back();
  build(_runs.back().emplace(), Tuple{std::move(items)});
}

void DirectReader::collapse(std::size_t n) {
  Run& r = _runs.back();
  std::size_t count = r.count();
  if (count < n) fall_back();
  std::vector<Value> items;
  items.reserve(n);
  for (std::size_t i = count - n; i < count; ++i) {
    // The dict being merged into holds only what the caller's map held and what was read here.
    if (!is_merging(r.at(i))) check_nesting(r, r.at(i));
    items.push_back(std::move(r.at(i)));
  }
  for (std::size_t i = 0; i < n; ++i) r.pop();
  build(r.emplace(), Tuple{std::move(items)});
}

void DirectReader::setitem() {
  Run& r = _runs.back();
  std::size_t count = r.count();
  if (count < 3 || !r.at(count - 3).is_dict()) fall_back();
  Value& key = r.at(count - 2);
  Value& value = r.at(count - 1);
  check_nesting(r, key);
  check_nesting(r, value);
  if (!key.hashable()) fall_back();
  if (is_merging(r.at(count - 3))) ++_merged_entries;
  r.at(count - 3).as_dict().set(std::move(key), std::move(value));
  r.pop();
  r.pop();
}

void DirectReader::append() {
  Run& r = _runs.back();
  std::size_t count = r.count();
  if (count < 2 || !r.at(count - 2).is_list()) fall_back();
  check_nesting(r, r.at(count - 1));
  r.at(count - 2).as_list().push_back(std::move(r.at(count - 1)));
  r.pop();
}

}  // namespace

bool loads_direct(std::string_view data, Value& out) {
  try {
    DirectReader(data).run(out);
    return true;
  } catch (const Fallback&) {
    return false;
  }
}

bool loads_direct_merging(std::string_view data, Value& out, Dict& into, std::size_t& entries_read) {
  DirectReader reader(data, &into);
  try {
    reader.run(out);
  } catch (const Fallback&) {
    reader.give_back();
    return false;
  } catch (...) {
    reader.give_back();
    throw;
  }
  entries_read = 0;
  if (!reader.merging()) return true;
  Value& merged = out.as_tuple()[1];
  into = std::move(merged.as_dict());
  merged = Value();
  entries_read = reader.merged_entries();
  return true;
}

}  // namespace vesk::pickle::detail

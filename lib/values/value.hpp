#pragma once
// Value: the one dynamic value type of Vesk, able to hold everything a state file or the worker
// channel carries: none, bool, 64-bit int, double, text (UTF-8), bytes, list, tuple, and dict
// (insertion-ordered, keys of any hashable kind). Values have value semantics: copies are deep.

#include "vesk/errors/errors.hpp"
#include "vesk/values/large_block.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vesk {

class Value;
class Dict;

// Byte strings, kept apart from text so the two never mix up.
struct Bytes {
  std::string data;
  bool operator==(const Bytes&) const = default;
};

using List = std::vector<Value>;

struct Tuple {
  std::vector<Value> items;
  bool operator==(const Tuple&) const;
};

namespace detail {
// Owns one heap object and copies it deeply, so containers can nest inside Value.
template <class T>
class Box {
 public:
  Box() : _p(std::make_unique<T>()) {}
  explicit Box(T value) : _p(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : _p(std::make_unique<T>(*other._p)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) _p = std::make_unique<T>(*other._p);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  T& operator*() const noexcept { return *_p; }
  T* operator->() const noexcept { return _p.get(); }

 private:
  std::unique_ptr<T> _p;
};
}  // namespace detail

class Value {
 public:
  enum class Kind : std::uint8_t { none, boolean, integer, floating, text, bytes, list, tuple, dict };

  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}
  Value(bool b) noexcept : _v(b) {}
  template <class I,
            std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>, int> = 0>
  Value(I i) : _v(checked_int(i)) {}
  Value(double d) noexcept : _v(d) {}
  Value(float d) noexcept : _v(static_cast<double>(d)) {}
  Value(std::string text) noexcept : _v(std::move(text)) {}
  Value(std::string_view text) : _v(std::in_place_type<std::string>, text) {}
  Value(const char* text) : _v(std::in_place_type<std::string>, text) {}
  Value(Bytes bytes) noexcept : _v(std::move(bytes)) {}
  Value(List list);
  Value(Tuple tuple);
  Value(Dict dict);

  static Value bytes(std::string data) { return Value(Bytes{std::move(data)}); }
  static Value tuple(std::vector<Value> items);
  static Value list(std::initializer_list<Value> items);

  Kind kind() const noexcept { return static_cast<Kind>(_v.index()); }
  static const char* kind_name(Kind kind) noexcept;
  const char* kind_name() const noexcept { return kind_name(kind()); }

  bool is_none() const noexcept { return kind() == Kind::none; }
  bool is_bool() const noexcept { return kind() == Kind::boolean; }
  bool is_int() const noexcept { return kind() == Kind::integer; }
  bool is_float() const noexcept { return kind() == Kind::floating; }
  bool is_text() const noexcept { return kind() == Kind::text; }
  bool is_bytes() const noexcept { return kind() == Kind::bytes; }
  bool is_list() const noexcept { return kind() == Kind::list; }
  bool is_tuple() const noexcept { return kind() == Kind::tuple; }
  bool is_dict() const noexcept { return kind() == Kind::dict; }

  // Accessors raise TypeError naming both kinds when the value holds another kind.
  bool as_bool() const { return get<bool>(Kind::boolean); }
  std::int64_t as_int() const { return get<std::int64_t>(Kind::integer); }
  double as_float() const { return get<double>(Kind::floating); }
  const std::string& as_text() const { return get<std::string>(Kind::text); }
  std::string& as_text() { return get<std::string>(Kind::text); }
  const std::string& as_bytes() const { return get<Bytes>(Kind::bytes).data; }
  std::string& as_bytes() { return get<Bytes>(Kind::bytes).data; }
  const List& as_list() const { return *get<detail::Box<List>>(Kind::list); }
  List& as_list() { return *get<detail::Box<List>>(Kind::list); }
  const std::vector<Value>& as_tuple() const { return get<detail::Box<Tuple>>(Kind::tuple)->items; }
  std::vector<Value>& as_tuple() { return get<detail::Box<Tuple>>(Kind::tuple)->items; }
  const Dict& as_dict() const { return *get<detail::Box<Dict>>(Kind::dict); }
  Dict& as_dict() { return *get<detail::Box<Dict>>(Kind::dict); }

  // Strict equality: kinds must match (1 and 1.0 differ, a list never equals a tuple). Floats
  // compare by value, except that NaN equals NaN, so that values compare as data. Dicts compare
  // as mappings, whatever the order of their entries.
  bool operator==(const Value& other) const;

  // Consistent with ==; raises TypeError for lists and dicts, which are not hashable.
  std::size_t hash() const;
  bool hashable() const noexcept;

  // A Python-like rendering: None, True, 3, 2.5, 'text', b'\x00', [..], (..,), {k: v}.
  std::string repr() const;

 private:
  template <class T>
  const T& get(Kind want) const {
    if (auto* p = std::get_if<T>(&_v)) return *p;
    throw_kind(want);
  }
  template <class T>
  T& get(Kind want) {
    if (auto* p = std::get_if<T>(&_v)) return *p;
    throw_kind(want);
  }
  [[noreturn]] void throw_kind(Kind want) const;
  template <class I>
  static std::int64_t checked_int(I i) {
    if constexpr (std::is_unsigned_v<I> && sizeof(I) >= sizeof(std::int64_t)) {
      if (i > static_cast<std::uint64_t>(INT64_MAX)) throw ValueError("integer does not fit in 64 bits");
    }
    return static_cast<std::int64_t>(i);
  }

  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, detail::Box<List>, detail::Box<Tuple>,
               detail::Box<Dict>>
      _v;
};

std::ostream& operator<<(std::ostream& out, const Value& value);
// For GoogleTest failure messages.
void PrintTo(const Value& value, std::ostream* out);

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hash(); }
};

// An insertion-ordered mapping from hashable Values to Values, like a Python dict.
class Dict {
 public:
  using Entry = std::pair<Value, Value>;
  using Entries = std::vector<Entry, detail::LargeBlockAllocator<Entry>>;
  using const_iterator = Entries::const_iterator;
  using iterator = Entries::iterator;

  Dict() = default;
  Dict(std::initializer_list<Entry> entries);

  std::size_t size() const noexcept { return _entries.size(); }
  bool empty() const noexcept { return _entries.empty(); }
  std::size_t capacity() const noexcept { return _entries.capacity(); }
  void reserve(std::size_t n);
  void clear() noexcept;

  // Inserts or replaces; a replaced entry keeps its position. Raises TypeError for a key that
  // is not hashable.
  void set(Value key, Value value);
  // Inserts or replaces n entries, as set() would one by one, moving from the Values that
  // key_at(i) and value_at(i) return by reference. Faster for many entries at once: the table's
  // memory is fetched ahead of use.
  template <class KeyAt, class ValueAt>
  void set_each(std::size_t n, KeyAt&& key_at, ValueAt&& value_at);
  // Sets every entry of `other` in its order, as set() would one by one (Python's update).
  void update(Dict&& other);
  // Removes every entry for which pred(key, value) holds, in one pass however many go; the
  // others keep their order. Returns how many were removed.
  template <class Pred>
  std::size_t erase_if(Pred&& pred);
  // Appends without looking for an existing equal key: only for keys known to be new.
  void append_unique(Value key, Value value);
  // For decoders, which build each entry where it stays. append_unadopted() adds an entry that
  // lookups do not see yet; unadopted(i) reaches it to fill it in, and truncate(n) drops such
  // entries from the end. adopt(first) then takes in the entries from `first` on as set() would
  // have one by one: a repeated key's later value replaces the earlier one, in its place. The
  // dict is not to be used otherwise in between. An unhashable key is a TypeError, and the
  // unadopted entries are dropped then.
  Entry& append_unadopted() { return _entries.emplace_back(); }
  Entry& unadopted(std::size_t index) noexcept { return _entries[index]; }
  void truncate(std::size_t size) {
    _entries.erase(_entries.begin() + static_cast<std::ptrdiff_t>(size), _entries.end());
  }
  void adopt(std::size_t first);
  Value& operator[](const Value& key);  // inserts none when missing

  const Value* find(const Value& key) const;
  Value* find(const Value& key);
  const Value* find_text(std::string_view key) const;
  Value* find_text(std::string_view key);
  bool contains(const Value& key) const { return find(key) != nullptr; }
  const Value& at(const Value& key) const;  // KeyError naming the key
  bool erase(const Value& key);

  // Iteration follows insertion order. Values may be changed in place; keys may not.
  const_iterator begin() const noexcept { return _entries.begin(); }
  const_iterator end() const noexcept { return _entries.end(); }
  iterator begin() noexcept { return _entries.begin(); }
  iterator end() noexcept { return _entries.end(); }
  const Entries& entries() const noexcept { return _entries; }

  bool operator==(const Dict& other) const;

 private:
  static constexpr std::size_t npos_index() noexcept { return static_cast<std::size_t>(-1); }
  // Up to this many entries a dict has no table and is searched in order: most states are small
  // records, and skipping the table saves an allocation and the hashing.
  static constexpr std::size_t small_entries = 8;
  std::size_t locate(const Value& key, std::size_t hash) const;
  std::size_t locate_small(const Value& key) const;
  std::size_t locate_small_checked(const Value& key) const;  // TypeError for an unhashable key
  std::size_t locate_text(std::string_view key) const;
  void insert_slot(std::size_t index, std::uint32_t hash);
  void rebuild(std::size_t slot_count);
  void index_entries();
  // Makes room in the table for `count` entries in all, building it when the dict outgrows small_entries.
  void make_room(std::size_t count);
  // After erase_if moved the kept entries down: entry i is now at moved_to[i] - 1, or gone (0).
  void reindex_after_erase(const std::vector<std::uint32_t>& moved_to, std::size_t kept);

  // Open addressing with linear probing. A slot holds the entry's index + 1 (0: empty) and the
  // low 32 bits of the key's hash, so probes compare hashes without touching the entries, and
  // the table can be rebuilt without hashing keys again.
  struct Slot {
    std::uint32_t index_plus_one = 0;
    std::uint32_t hash = 0;
  };

  Entries _entries;
  std::vector<Slot, detail::LargeBlockAllocator<Slot>> _slots;
};

template <class KeyAt, class ValueAt>
void Dict::set_each(std::size_t n, KeyAt&& key_at, ValueAt&& value_at) {
  if (n == 0) return;
  std::size_t want = _entries.size() + n;
  if (_entries.capacity() < want) _entries.reserve(std::max(want, 2 * _entries.capacity()));
  if (_slots.empty() && want <= small_entries) {
    for (std::size_t i = 0; i < n; ++i) {
      Value& key = key_at(i);
      std::size_t index = locate_small_checked(key);
      if (index != npos_index()) {
        _entries[index].second = std::move(value_at(i));
      } else {
        _entries.emplace_back(std::move(key), std::move(value_at(i)));
      }
    }
    return;
  }
  make_room(want);
  // Hash everything first and fetch each key's slot ahead of the probes.
  std::vector<std::size_t> hashes(n);
  std::size_t mask = _slots.size() - 1;
  for (std::size_t i = 0; i < n; ++i) {
    hashes[i] = key_at(i).hash();
    __builtin_prefetch(&_slots[static_cast<std::uint32_t>(hashes[i]) & mask]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    Value& key = key_at(i);
    std::size_t index = locate(key, hashes[i]);
    if (index != npos_index()) {
      _entries[index].second = std::move(value_at(i));
    } else {
      _entries.emplace_back(std::move(key), std::move(value_at(i)));
      insert_slot(_entries.size() - 1, static_cast<std::uint32_t>(hashes[i]));
    }
  }
}

template <class Pred>
std::size_t Dict::erase_if(Pred&& pred) {
  std::vector<std::uint32_t> moved_to(_entries.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < _entries.size(); ++i) {
    if (pred(std::as_const(_entries[i].first), std::as_const(_entries[i].second))) continue;
    if (kept != i) _entries[kept] = std::move(_entries[i]);
    moved_to[i] = static_cast<std::uint32_t>(++kept);
  }
  const std::size_t removed = _entries.size() - kept;
  if (removed != 0) reindex_after_erase(moved_to, kept);
  return removed;
}

// The hash that Value::hash gives a text, for looking up text keys without building a Value.
std::size_t hash_text(std::string_view text) noexcept;

}  // namespace vesk

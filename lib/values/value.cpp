#include "vesk/values/value.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <ostream>

namespace vesk {

namespace {

constexpr std::size_t text_salt = 0x9e3779b97f4a7c15ull;
constexpr std::size_t bytes_salt = 0xc2b2ae3d27d4eb4full;

std::size_t mix(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return static_cast<std::size_t>(x);
}

void repr_quoted(std::string& out, std::string_view s, bool bytes) {
  static const char* hex = "0123456789abcdef";
  out += bytes ? "b'" : "'";
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f || (bytes && c >= 0x80)) {
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '\'';
}

void repr_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void repr_into(std::string& out, const Value& v);

void repr_items(std::string& out, const std::vector<Value>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    repr_into(out, items[i]);
  }
}

void repr_into(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::none: out += "None"; break;
    case Value::Kind::boolean: out += v.as_bool() ? "True" : "False"; break;
    case Value::Kind::integer: out += std::to_string(v.as_int()); break;
    case Value::Kind::floating: repr_float(out, v.as_float()); break;
    case Value::Kind::text: repr_quoted(out, v.as_text(), false); break;
    case Value::Kind::bytes: repr_quoted(out, v.as_bytes(), true); break;
    case Value::Kind::list:
      out += '[';
      repr_items(out, v.as_list());
      out += ']';
      break;
    case Value::Kind::tuple:
      out += '(';
      repr_items(out, v.as_tuple());
      if (v.as_tuple().size() == 1) out += ',';
      out += ')';
      break;
    case Value::Kind::dict: {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : v.as_dict()) {
        if (!first) out += ", ";
        first = false;
        repr_into(out, key);
        out += ": ";
        repr_into(out, value);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::size_t hash_text(std::string_view text) noexcept { return std::hash<std::string_view>{}(text) ^ text_salt; }

bool Tuple::operator==(const Tuple& other) const { return items == other.items; }

Value::Value(List list) : _v(std::in_place_type<detail::Box<List>>, std::move(list)) {}
Value::Value(Tuple tuple) : _v(std::in_place_type<detail::Box<Tuple>>, std::move(tuple)) {}
Value::Value(Dict dict) : _v(std::in_place_type<detail::Box<Dict>>, std::move(dict)) {}

Value Value::tuple(std::vector<Value> items) { return Value(Tuple{std::move(items)}); }
Value Value::list(std::initializer_list<Value> items) { return Value(List(items)); }

const char* Value::kind_name(Kind kind) noexcept {
  switch (kind) {
    case Kind::none: return "none";
    case Kind::boolean: return "bool";
    case Kind::integer: return "int";
    case Kind::floating: return "float";
    case Kind::text: return "text";
    case Kind::bytes: return "bytes";
    case Kind::list: return "list";
    case Kind::tuple: return "tuple";
    case Kind::dict: return "dict";
  }
  return "?";
}

void Value::throw_kind(Kind want) const {
  throw TypeError(std::string("expected a value of kind ") + kind_name(want) + ", got " + kind_name());
}

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::none: return true;
    case Kind::boolean: return as_bool() == other.as_bool();
    case Kind::integer: return as_int() == other.as_int();
    case Kind::floating: {
      double a = as_float(), b = other.as_float();
      return a == b || (std::isnan(a) && std::isnan(b));
    }
    case Kind::text: return as_text() == other.as_text();
    case Kind::bytes: return as_bytes() == other.as_bytes();
    case Kind::list: return as_list() == other.as_list();
    case Kind::tuple: return as_tuple() == other.as_tuple();
    case Kind::dict: return as_dict() == other.as_dict();
  }
  return false;
}

bool Value::hashable() const noexcept {
  switch (kind()) {
    case Kind::list:
    case Kind::dict: return false;
    case Kind::tuple:
      return std::all_of(as_tuple().begin(), as_tuple().end(), [](const Value& v) { return v.hashable(); });
    default: return true;
  }
}

std::size_t Value::hash() const {
  switch (kind()) {
    case Kind::none: return 0x5bd1e995u;
    case Kind::boolean: return mix(as_bool() ? 0x10001u : 0x10000u);
    case Kind::integer: return mix(static_cast<std::uint64_t>(as_int()));
    case Kind::floating: {
      double d = as_float();
      if (d == 0.0) d = 0.0;  // -0.0 == 0.0
      if (std::isnan(d)) return 0x7ff8u;
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      return mix(bits ^ 0xf10a7u);
    }
    case Kind::text: return hash_text(as_text());
    case Kind::bytes: return std::hash<std::string_view>{}(as_bytes()) ^ bytes_salt;
    case Kind::tuple: {
      std::size_t h = 0x345678u + as_tuple().size();
      for (const auto& item : as_tuple()) h = mix(h * 31 + item.hash());
      return h;
    }
    case Kind::list:
    case Kind::dict: break;
  }
  throw TypeError(std::string("unhashable value of kind ") + kind_name());
}

std::string Value::repr() const {
  std::string out;
  repr_into(out, *this);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.repr(); }
void PrintTo(const Value& value, std::ostream* out) { *out << value.repr(); }

// ---- Dict ----

Dict::Dict(std::initializer_list<Entry> entries) {
  reserve(entries.size());
  for (const auto& [key, value] : entries) set(key, value);
}

void Dict::clear() noexcept {
  _entries.clear();
  _slots.clear();
}

namespace {

// The table size that keeps `count` entries at most two thirds full.
std::size_t slots_for(std::size_t count) {
  std::size_t slots = 8;
  while (slots < count + count / 2 + 1) slots <<= 1;
  return slots;
}

void require_hashable(const Value& key) {
  if (!key.hashable()) throw TypeError(std::string("unhashable value of kind ") + key.kind_name());
}

}  // namespace

void Dict::rebuild(std::size_t slot_count) {
  auto old = std::move(_slots);
  _slots.assign(slot_count, Slot{});
  std::size_t mask = slot_count - 1;
  constexpr std::size_t ahead = 16;
  for (std::size_t i = 0; i < old.size(); ++i) {
    // The writes land at random places of a large table: fetch them ahead of time.
    if (i + ahead < old.size()) __builtin_prefetch(&_slots[old[i + ahead].hash & mask], 1);
    const Slot& slot = old[i];
    if (slot.index_plus_one == 0) continue;
    std::size_t pos = slot.hash & mask;
    while (_slots[pos].index_plus_one != 0) pos = (pos + 1) & mask;
    _slots[pos] = slot;
  }
}

void Dict::index_entries() {
  for (std::size_t i = 0; i < _entries.size(); ++i) {
    insert_slot(i, static_cast<std::uint32_t>(_entries[i].first.hash()));
  }
}

void Dict::make_room(std::size_t count) {
  if (_slots.empty()) {
    if (count <= small_entries) return;
    _slots.assign(slots_for(count), Slot{});
    index_entries();
  } else if (count * 3 > _slots.size() * 2) {
    rebuild(slots_for(count));
  }
}

void Dict::reserve(std::size_t n) {
  _entries.reserve(n);
  make_room(n);
}

void Dict::insert_slot(std::size_t index, std::uint32_t hash) {
  std::size_t mask = _slots.size() - 1;
  std::size_t pos = hash & mask;
  while (_slots[pos].index_plus_one != 0) pos = (pos + 1) & mask;
  _slots[pos] = Slot{static_cast<std::uint32_t>(index + 1), hash};
}

std::size_t Dict::locate_small(const Value& key) const {
  if (key.is_text()) return locate_text(key.as_text());
  for (std::size_t i = 0; i < _entries.size(); ++i) {
    if (_entries[i].first == key) return i;
  }
  return npos_index();
}

std::size_t Dict::locate_small_checked(const Value& key) const {
  if (!key.is_text()) require_hashable(key);
  return locate_small(key);
}

std::size_t Dict::locate(const Value& key, std::size_t full_hash) const {
  if (_slots.empty()) return locate_small(key);
  auto hash = static_cast<std::uint32_t>(full_hash);
  std::size_t mask = _slots.size() - 1;
  for (std::size_t pos = hash & mask;; pos = (pos + 1) & mask) {
    const Slot& slot = _slots[pos];
    if (slot.index_plus_one == 0) return npos_index();
    if (slot.hash == hash && _entries[slot.index_plus_one - 1].first == key) return slot.index_plus_one - 1;
  }
}

std::size_t Dict::locate_text(std::string_view key) const {
  if (_slots.empty()) {
    for (std::size_t i = 0; i < _entries.size(); ++i) {
      const Value& k = _entries[i].first;
      if (k.is_text() && k.as_text() == key) return i;
    }
    return npos_index();
  }
  auto hash = static_cast<std::uint32_t>(hash_text(key));
  std::size_t mask = _slots.size() - 1;
  for (std::size_t pos = hash & mask;; pos = (pos + 1) & mask) {
    const Slot& slot = _slots[pos];
    if (slot.index_plus_one == 0) return npos_index();
    if (slot.hash != hash) continue;
    const Value& k = _entries[slot.index_plus_one - 1].first;
    if (k.is_text() && k.as_text() == key) return slot.index_plus_one - 1;
  }
}

void Dict::append_unique(Value key, Value value) {
  if (_slots.empty() && _entries.size() < small_entries) {
    require_hashable(key);
    _entries.emplace_back(std::move(key), std::move(value));
    return;
  }
  auto h = static_cast<std::uint32_t>(key.hash());
  make_room(_entries.size() + 1);
  _entries.emplace_back(std::move(key), std::move(value));
  insert_slot(_entries.size() - 1, h);
}

void Dict::adopt(std::size_t first) {
  const std::size_t total = _entries.size();
  if (first >= total) return;
  std::size_t kept = first;
  if (_slots.empty() && total <= small_entries) {
    for (std::size_t i = first; i < total; ++i) {
      if (!_entries[i].first.hashable()) {
        std::string kind = _entries[i].first.kind_name();
        truncate(first);
        throw TypeError("unhashable value of kind " + kind);
      }
    }
    // Record fields: text keys, compared without the general equality.
    auto same = [](const Value& a, const Value& b) {
      if (a.is_text() && b.is_text()) return std::string_view(a.as_text()) == std::string_view(b.as_text());
      return a == b;
    };
    for (std::size_t i = first; i < total; ++i) {
      std::size_t j = 0;
      while (j < kept && !same(_entries[j].first, _entries[i].first)) ++j;
      if (j < kept) {
        _entries[j].second = std::move(_entries[i].second);
      } else {
        if (kept != i) _entries[kept] = std::move(_entries[i]);
        ++kept;
      }
    }
    truncate(kept);
    return;
  }
  // Hash first, so that an unhashable key fails before anything has changed.
  std::vector<std::uint32_t> hashes(total - first);
  try {
    for (std::size_t i = first; i < total; ++i)
      hashes[i - first] = static_cast<std::uint32_t>(_entries[i].first.hash());
  } catch (...) {
    truncate(first);
    throw;
  }
  if (_slots.empty()) {
    _slots.assign(slots_for(total), Slot{});
    for (std::size_t i = 0; i < first; ++i) insert_slot(i, static_cast<std::uint32_t>(_entries[i].first.hash()));
  } else if (total * 3 > _slots.size() * 2) {
    rebuild(slots_for(total));
  }
  const std::size_t mask = _slots.size() - 1;
  for (std::uint32_t h : hashes) __builtin_prefetch(&_slots[h & mask]);
  for (std::size_t i = first; i < total; ++i) {
    std::uint32_t h = hashes[i - first];
    std::size_t index = locate(_entries[i].first, h);
    if (index != npos_index()) {
      _entries[index].second = std::move(_entries[i].second);
    } else {
      if (kept != i) _entries[kept] = std::move(_entries[i]);
      insert_slot(kept, h);
      ++kept;
    }
  }
  truncate(kept);
}

void Dict::set(Value key, Value value) {
  if (_slots.empty() && _entries.size() < small_entries) {
    std::size_t index = locate_small_checked(key);
    if (index != npos_index()) {
      _entries[index].second = std::move(value);
    } else {
      _entries.emplace_back(std::move(key), std::move(value));
    }
    return;
  }
  std::size_t h = key.hash();
  std::size_t index = locate(key, h);
  if (index != npos_index()) {
    _entries[index].second = std::move(value);
    return;
  }
  make_room(_entries.size() + 1);
  _entries.emplace_back(std::move(key), std::move(value));
  insert_slot(_entries.size() - 1, static_cast<std::uint32_t>(h));
}

Value& Dict::operator[](const Value& key) {
  std::size_t index = _slots.empty() ? locate_small_checked(key) : locate(key, key.hash());
  if (index != npos_index()) return _entries[index].second;
  append_unique(key, Value());
  return _entries.back().second;
}

const Value* Dict::find(const Value& key) const {
  if (!key.hashable()) return nullptr;
  std::size_t index = _slots.empty() ? locate_small(key) : locate(key, key.hash());
  return index == npos_index() ? nullptr : &_entries[index].second;
}

Value* Dict::find(const Value& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }

const Value* Dict::find_text(std::string_view key) const {
  std::size_t index = locate_text(key);
  return index == npos_index() ? nullptr : &_entries[index].second;
}

Value* Dict::find_text(std::string_view key) { return const_cast<Value*>(std::as_const(*this).find_text(key)); }

const Value& Dict::at(const Value& key) const {
  if (const Value* v = find(key)) return *v;
  throw KeyError("no entry for key " + key.repr());
}

bool Dict::erase(const Value& key) {
  if (!key.hashable()) return false;
  std::size_t index = _slots.empty() ? locate_small(key) : locate(key, key.hash());
  if (index == npos_index()) return false;
  _entries.erase(_entries.begin() + static_cast<std::ptrdiff_t>(index));
  if (!_slots.empty()) {
    // Entry indices after the erased one moved down: rebuild the table from the keys.
    std::fill(_slots.begin(), _slots.end(), Slot{});
    index_entries();
  }
  return true;
}

void Dict::update(Dict&& other) {
  // In slices, so that the table's memory for each slice is fetched ahead of its inserts.
  constexpr std::size_t slice = 1024;
  auto entries = other._entries.begin();
  for (std::size_t start = 0; start < other.size(); start += slice) {
    const std::size_t n = std::min(slice, other.size() - start);
    set_each(
        n, [&](std::size_t i) -> Value& { return entries[static_cast<std::ptrdiff_t>(start + i)].first; },
        [&](std::size_t i) -> Value& { return entries[static_cast<std::ptrdiff_t>(start + i)].second; });
  }
  other.clear();
}

void Dict::reindex_after_erase(const std::vector<std::uint32_t>& moved_to, std::size_t kept) {
  truncate(kept);
  if (_slots.empty()) return;
  // The kept slots with their new indices, put back into the cleared table: the hashes are kept,
  // so no key is hashed again.
  std::vector<Slot> live;
  live.reserve(kept);
  for (const Slot& slot : _slots) {
    if (slot.index_plus_one != 0 && moved_to[slot.index_plus_one - 1] != 0) {
      live.push_back(Slot{moved_to[slot.index_plus_one - 1], slot.hash});
    }
  }
  std::fill(_slots.begin(), _slots.end(), Slot{});
  for (const Slot& slot : live) insert_slot(slot.index_plus_one - 1, slot.hash);
}

bool Dict::operator==(const Dict& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : _entries) {
    const Value* theirs = other.find(key);
    if (!theirs || !(*theirs == value)) return false;
  }
  return true;
}

}  // namespace vesk

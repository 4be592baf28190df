#pragma once
// A small map that iterates in insertion order, for the engine's few partition consumers.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace vesk {

template <class K, class V>
class OrderedMap {
 public:
  using Entry = std::pair<K, V>;

  // The value under `key`, or null.
  V* find(const K& key) {
    auto it = locate(key);
    return it == _entries.end() ? nullptr : &it->second;
  }
  const V* find(const K& key) const { return const_cast<OrderedMap*>(this)->find(key); }
  bool contains(const K& key) const { return find(key) != nullptr; }

  // Replaces the value of an existing key in place, or appends a new entry.
  void set(const K& key, V value) {
    if (auto* v = find(key)) {
      *v = std::move(value);
    } else {
      _entries.emplace_back(key, std::move(value));
    }
  }
  bool erase(const K& key) {
    auto it = locate(key);
    if (it == _entries.end()) return false;
    _entries.erase(it);
    return true;
  }
  void clear() noexcept { _entries.clear(); }

  std::vector<K> keys() const {
    std::vector<K> out;
    out.reserve(_entries.size());
    for (const auto& e : _entries) out.push_back(e.first);
    return out;
  }
  std::size_t size() const noexcept { return _entries.size(); }
  bool empty() const noexcept { return _entries.empty(); }
  auto begin() const noexcept { return _entries.begin(); }
  auto end() const noexcept { return _entries.end(); }

 private:
  typename std::vector<Entry>::iterator locate(const K& key) {
    return std::find_if(_entries.begin(), _entries.end(), [&](const Entry& e) { return e.first == key; });
  }
  std::vector<Entry> _entries;
};

}  // namespace vesk

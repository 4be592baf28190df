#pragma once
// KeyTable<T>: a worker's key states, key text → T, and what changed since it was last asked.
// Open addressing with linear probing over a dense array of entries; each slot keeps part of
// its key's hash, and each entry the whole hash, so that a lookup compares strings only on a
// likely match and growing never hashes a key again. Removal moves the last entry into the gap
// (order is not kept) and shifts the probe run back, so no tombstones build up.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::detail {

template <class T>
class KeyTable {
 public:
  struct Entry {
    std::string key;
    T state;
    std::uint64_t hash;
    // Where the entry stands in the list of changed entries; not_changed when it is not there.
    std::uint32_t changed_at;
  };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  static std::uint64_t hash_of(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

  std::size_t size() const noexcept { return _entries.size(); }
  const std::vector<Entry>& entries() const noexcept { return _entries; }
  Entry& at(std::size_t index) noexcept { return _entries[index]; }

  void clear() noexcept {
    _entries.clear();
    _slots.clear();
    _changed.clear();
    _removed.clear();
  }
  void reserve(std::size_t n) {
    _entries.reserve(n);
    if (n * 8 > _slots.size() * 7) _rehash(_slot_count_for(n));
  }

  std::size_t find(std::string_view key, std::uint64_t hash) const noexcept {
    if (_slots.empty()) return npos;
    const std::uint32_t tag = _tag(hash);
    for (std::size_t pos = hash & _mask();; pos = (pos + 1) & _mask()) {
      const Slot s = _slots[pos];
      if (s.index == 0) return npos;
      if (s.tag == tag && _entries[s.index - 1].key == key) return s.index - 1;
    }
  }

  // Hints to the processor what a later find(…, hash) reads: the first slot, and, once that
  // is likely at hand, the entry it leads to. Changes nothing and never fails.
  void prefetch_slot(std::uint64_t hash) const noexcept {
    if (!_slots.empty()) _prefetch(&_slots[hash & _mask()]);
  }
  void prefetch_entry(std::uint64_t hash) const noexcept {
    if (_slots.empty()) return;
    const std::uint32_t tag = _tag(hash);
    for (std::size_t pos = hash & _mask();; pos = (pos + 1) & _mask()) {
      const Slot s = _slots[pos];
      if (s.index == 0) return;
      if (s.tag == tag) {
        const auto* entry = reinterpret_cast<const char*>(&_entries[s.index - 1]);
        _prefetch(entry);
        _prefetch(entry + sizeof(Entry) - 1);
        return;
      }
    }
  }

  // Adds a key known to be absent; the new entry counts as changed when `changed` is set.
  std::size_t insert(std::string key, std::uint64_t hash, T state, bool changed) {
    if ((_entries.size() + 1) * 8 > _slots.size() * 7) _rehash(_slot_count_for(_entries.size() + 1));
    const std::size_t index = _entries.size();
    _entries.push_back(Entry{std::move(key), std::move(state), hash, not_changed});
    _place(index);
    if (changed) mark_changed(index);
    return index;
  }

  void mark_changed(std::size_t index) {
    Entry& e = _entries[index];
    if (e.changed_at != not_changed) return;
    e.changed_at = static_cast<std::uint32_t>(_changed.size());
    _changed.push_back(static_cast<std::uint32_t>(index));
  }

  // Removes the entry and notes its key as removed.
  void erase(std::size_t index) {
    Entry& gone = _entries[index];
    if (gone.changed_at != not_changed) _unlist_changed(gone.changed_at);
    _removed.push_back(std::move(gone.key));
    _unplace(index, gone.hash);
    const std::size_t last = _entries.size() - 1;
    if (index != last) {
      // The last entry takes the gap: its slot and its place in the changed list follow it.
      _retarget(last, index);
      _entries[index] = std::move(_entries[last]);
      if (_entries[index].changed_at != not_changed)
        _changed[_entries[index].changed_at] = static_cast<std::uint32_t>(index);
    }
    _entries.pop_back();
  }

  // The entries changed and the keys removed since forget_changes(). A key may be listed as
  // removed and then again as changed: it was removed and added back, so apply removals first.
  const std::vector<std::uint32_t>& changed() const noexcept { return _changed; }
  const std::vector<std::string>& removed() const noexcept { return _removed; }
  void forget_changes() noexcept {
    for (auto index : _changed) _entries[index].changed_at = not_changed;
    _changed.clear();
    _removed.clear();
  }

 private:
  static constexpr std::uint32_t not_changed = std::numeric_limits<std::uint32_t>::max();
  struct Slot {
    std::uint32_t index = 0;  // entry index + 1; 0 when empty
    std::uint32_t tag = 0;    // the high half of the key's hash
  };
  // g++ 12 drops a __builtin_prefetch under a branch on the table's own members; the asm form
  // always stays.
  static void _prefetch(const void* address) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __asm__("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
  }
  static std::uint32_t _tag(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }
  std::size_t _mask() const noexcept { return _slots.size() - 1; }
  static std::size_t _slot_count_for(std::size_t n) {
    std::size_t count = 16;
    while (count * 7 < n * 8 + 8) count *= 2;
    return count;
  }

  void _place(std::size_t index) {
    const std::uint64_t hash = _entries[index].hash;
    std::size_t pos = hash & _mask();
    while (_slots[pos].index != 0) pos = (pos + 1) & _mask();
    _slots[pos] = Slot{static_cast<std::uint32_t>(index + 1), _tag(hash)};
  }

  std::size_t _slot_of(std::size_t index, std::uint64_t hash) const noexcept {
    std::size_t pos = hash & _mask();
    while (_slots[pos].index != index + 1) pos = (pos + 1) & _mask();
    return pos;
  }

  // Empties the entry's slot and moves later members of its probe run back into the hole.
  void _unplace(std::size_t index, std::uint64_t hash) {
    std::size_t hole = _slot_of(index, hash);
    _slots[hole] = Slot{};
    for (std::size_t pos = (hole + 1) & _mask(); _slots[pos].index != 0; pos = (pos + 1) & _mask()) {
      const std::size_t home = _entries[_slots[pos].index - 1].hash & _mask();
      // The slot may move into the hole unless its home lies cyclically in (hole, pos].
      const bool stays = hole <= pos ? (home > hole && home <= pos) : (home > hole || home <= pos);
      if (stays) continue;
      _slots[hole] = _slots[pos];
      _slots[pos] = Slot{};
      hole = pos;
    }
  }

  void _retarget(std::size_t from, std::size_t to) noexcept {
    _slots[_slot_of(from, _entries[from].hash)].index = static_cast<std::uint32_t>(to + 1);
  }

  void _unlist_changed(std::uint32_t at) noexcept {
    const std::uint32_t moved = _changed.back();
    _changed[at] = moved;
    _entries[moved].changed_at = at;
    _changed.pop_back();
  }

  void _rehash(std::size_t slot_count) {
    _slots.assign(slot_count, Slot{});
    for (std::size_t i = 0; i < _entries.size(); ++i) _place(i);
  }

  std::vector<Entry> _entries;
  std::vector<Slot> _slots;
  std::vector<std::uint32_t> _changed;
  std::vector<std::string> _removed;
};

}  // namespace vesk::detail

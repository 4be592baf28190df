#pragma once
// Stream handlers: the classes host applications derive their message processing from.
//
// Derive from StreamHandler<T>, override process(), and register the class in a handler module
// (a shared library built with vesk_add_handler_module) with VESK_REGISTER_HANDLER. The state
// type T can be any type that ValueTraits<T> converts (see value_traits.hpp): states travel as
// Values on the worker channel and into partition-state files.
//
//   namespace app {
//   class WordCount : public vesk::StreamHandler<std::int64_t> {
//    public:
//     vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& m,
//                                                          std::optional<std::int64_t> s) override {
//       co_return s.value_or(0) + 1;
//     }
//   };
//   VESK_REGISTER_HANDLER(WordCount);  // in the namespace that declares the class
//   }
//
// The engine asks the handler object it is given only for get_module_path(); every worker
// process loads the class named by that path and makes its own instance (handler_registry.hpp).
// Members of a handler are therefore private to one worker process and never checkpointed:
// only the states returned by process() are kept per key.

#include "vesk/channel/worker_protocol.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/stream_handler/handler_registry.hpp"
#include "vesk/stream_handler/key_table.hpp"
#include "vesk/stream_handler/value_traits.hpp"
#include "vesk/values/value.hpp"
#include "vesk/vesk_feed/message.hpp"

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesk {

// A key state that a collection cannot hand back (it does not convert or cannot be encoded).
// what() is "key '<key>': <reason>", so that the worker's reply names the key.
class CollectionError : public std::runtime_error {
 public:
  CollectionError(std::string key, const std::string& reason);
  const std::string& key() const noexcept { return _key; }

 private:
  std::string _key;
};

// The type-erased side of every handler: what the engine holds (get_module_path) and what the
// worker drives. The worker hands the key states over once, runs messages against them, and
// collects them on request; in between the states stay in the handler's own typed map, so they
// are converted only at hand-over and collection.
class StreamHandlerBase {
 public:
  StreamHandlerBase() = default;
  virtual ~StreamHandlerBase();
  StreamHandlerBase(const StreamHandlerBase&) = delete;
  StreamHandlerBase& operator=(const StreamHandlerBase&) = delete;

  // The module's dotted name, ".", and the qualified name of the run-time class of *this, as
  // registered by VESK_REGISTER_HANDLER. A class that was never registered is a LookupError.
  // A handler class written in Python answers "py:" + its module + "." + its class.
  virtual std::string get_module_path() const;

  // Worker side. Replaces the held states with `states` (key text → state). A state that does
  // not convert to the handler's state type is a TypeError/ValueError naming the key.
  virtual void load_key_states(Dict states) = 0;
  // All held states, key text → state, written as one dict straight from the handler's own
  // types: what a collection sends, without building the Dict of a large state first. A state
  // that cannot be written is a CollectionError naming its key; the writer's output is then
  // unusable.
  virtual void write_key_states(pickle::Writer& writer) const = 0;
  // Whether the handler keeps track of the keys it changed or removed; only then are the two
  // operations below used. A handler that does not is always collected whole.
  virtual bool tracks_key_state_changes() const noexcept { return false; }
  // What changed since the last forget_key_state_changes() (or the hand-over), as the changes
  // form of a collection answer (worker_protocol::StateChangesWriter). The removed keys come
  // first, so that a key removed and then given a state again ends up with that state when the
  // changes are read in order. Errors as for write_key_states.
  virtual void write_key_state_changes(pickle::Writer& writer) const;
  // Called once the changes written last have been handed over.
  virtual void forget_key_state_changes() noexcept {}
  // Runs process() for `message`, whose key text is `key`, with that key's state and stores
  // the result (none removes the key). When process() fails, the error passes on and the key
  // keeps the state it had.
  virtual Awaitable<void> process_message(const Message& message, const std::string& key) = 0;
  // Runs process_message for each message of `batch` in order, each with its own key (all have
  // one). A failing message goes to `failed` and the batch goes on; what `failed` throws ends
  // the batch. A handler may override it to work ahead of the message it runs.
  using ProcessFailed = std::function<void(const Message&, std::exception_ptr)>;
  virtual Awaitable<void> process_messages(std::span<const Message* const> batch, const ProcessFailed& failed);
};

namespace detail {

// Stands in for the conversions of a state type that has none, so that the static_assert below
// is the only error a handler with such a type produces.
template <class T>
struct UnconvertibleState {
  static Value to_value(const T&) { return Value(); }
  static T from_value(const Value&) { throw TypeError("the state type has no conversion"); }
};

template <class T>
using StateTraits = std::conditional_t<ValueConvertible<T>, ValueTraits<T>, UnconvertibleState<T>>;

}  // namespace detail

// Derive from this to define custom processing logic for messages; the state type T can be any
// serialisable type (one that ValueTraits<T> converts).
template <class T>
class StreamHandler : public StreamHandlerBase {
  static_assert(
      ValueConvertible<T>,
      "The state type T of StreamHandler<T> (named in the line above: 'In instantiation of ...') cannot "
      "be converted to a Value. For a struct, declare VESK_RECORD(Type, field1, field2, ...) at namespace scope in "
      "the namespace of Type, after Type and before the handler class; or use a supported type: "
      "integers, double, bool, std::string, vesk::Bytes, vesk::Value, std::vector, std::map or "
      "std::unordered_map, std::optional, std::pair, std::tuple, or a type with a ValueTraits "
      "specialisation.");
  using Traits = detail::StateTraits<T>;

 public:
  using State = T;

  // Process a message and update the state: `state` is the current state of the message's key,
  // or none when it has none; the result is the new state, or none to store no state for the
  // key. The base definition yields none, for derived classes that delegate to it.
  virtual Awaitable<std::optional<T>> process(const Message& message, std::optional<T> state = std::nullopt) = 0;

  void load_key_states(Dict states) final {
    detail::KeyTable<T> loaded;
    loaded.reserve(states.size());
    for (auto& [key, value] : states) {
      if (!key.is_text()) throw TypeError("state map key " + key.repr() + " is not text");
      try {
        T state = Traits::from_value(value);
        const auto hash = loaded.hash_of(key.as_text());
        const auto found = loaded.find(key.as_text(), hash);
        if (found != loaded.npos) {
          loaded.at(found).state = std::move(state);
        } else {
          loaded.insert(std::move(key.as_text()), hash, std::move(state), false);
        }
      } catch (const std::exception& e) {
        throw TypeError("state of key " + key.repr() + " does not fit the handler's state type: " + e.what());
      }
    }
    _states = std::move(loaded);
  }

  void write_key_states(pickle::Writer& writer) const final {
    // A guess that covers short keys with small states; longer ones grow the output as usual.
    writer.reserve(32 * _states.size());
    writer.begin_dict();
    for (const auto& entry : _states.entries()) _write_entry(writer, entry);
    writer.end_dict();
  }

  bool tracks_key_state_changes() const noexcept final { return true; }

  void write_key_state_changes(pickle::Writer& writer) const final {
    writer.reserve(32 * _states.changed().size() + 16 * _states.removed().size() + 16);
    worker_protocol::StateChangesWriter changes(writer, _states.removed().size());
    for (const auto& key : _states.removed()) changes.removed(key);
    for (const auto index : _states.changed()) {
      const auto& entry = _states.entries()[index];
      _write_state(changes.changed(entry.key), entry);
    }
    changes.finish();
  }

  void forget_key_state_changes() noexcept final { _states.forget_changes(); }

  Awaitable<void> process_message(const Message& message, const std::string& key) final {
    const auto hash = _states.hash_of(key);
    const auto found = _states.find(key, hash);
    std::optional<T> next = co_await process(message, _current(found));
    _store(key, hash, found, std::move(next));
  }

  // One coroutine for the whole batch, and the keys a few messages ahead are looked up early:
  // with many keys, their slots and entries are then in the cache when their turn comes.
  Awaitable<void> process_messages(std::span<const Message* const> batch, const ProcessFailed& failed) final {
    constexpr std::size_t slot_ahead = 16;
    constexpr std::size_t entry_ahead = 8;
    std::vector<std::uint64_t> hashes(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) hashes[i] = _states.hash_of(*batch[i]->key);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (i + slot_ahead < batch.size()) _states.prefetch_slot(hashes[i + slot_ahead]);
      if (i + entry_ahead < batch.size()) _states.prefetch_entry(hashes[i + entry_ahead]);
      const Message& message = *batch[i];
      const std::string& key = *message.key;
      const auto found = _states.find(key, hashes[i]);
      std::optional<T> next;
      std::exception_ptr failure;
      try {
        next = co_await process(message, _current(found));
      } catch (...) {
        failure = std::current_exception();
      }
      if (failure) {
        failed(message, failure);
      } else {
        _store(key, hashes[i], found, std::move(next));
      }
    }
  }

 private:
  // The handler gets a copy: when it fails, the stored state must be as it was.
  std::optional<T> _current(std::size_t found) {
    if (found == _states.npos) return std::nullopt;
    return _states.at(found).state;
  }

  // The worker processes one message at a time and only process_message(s) change the table,
  // so `found` is still valid after process() suspended: a key is hashed once per message.
  void _store(const std::string& key, std::uint64_t hash, std::size_t found, std::optional<T> next) {
    if (next) {
      if (found != _states.npos) {
        _states.at(found).state = std::move(*next);
        _states.mark_changed(found);
      } else {
        _states.insert(key, hash, std::move(*next), true);
      }
    } else if (found != _states.npos) {
      _states.erase(found);
    }
  }

  void _write_entry(pickle::Writer& writer, const typename detail::KeyTable<T>::Entry& entry) const {
    writer.text(entry.key);
    _write_state(writer, entry);
  }

  void _write_state(pickle::Writer& writer, const typename detail::KeyTable<T>::Entry& entry) const {
    const auto& state = entry.state;
    try {
      if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, int>) {
        writer.integer(state);
      } else if constexpr (std::is_same_v<T, double>) {
        writer.floating(state);
      } else if constexpr (std::is_same_v<T, std::string>) {
        // As ValueTraits<std::string> converts it: bytes when it is not UTF-8.
        if (detail::is_pickle_text(state)) {
          writer.text(state);
        } else {
          writer.bytes(state);
        }
      } else {
        writer.value(Traits::to_value(state));
      }
    } catch (const std::exception& e) {
      throw CollectionError(entry.key, e.what());
    }
  }

  detail::KeyTable<T> _states;
};

template <class T>
Awaitable<std::optional<T>> StreamHandler<T>::process(const Message&, std::optional<T>) {
  co_return std::nullopt;
}

}  // namespace vesk

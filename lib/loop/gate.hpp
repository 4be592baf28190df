#pragma once
// Gate: counts the work in flight on something that shuts down, so that shutdown can refuse new
// work and then wait for what still runs, without polling. Every call runs on the loop thread.

#include "vesk/loop/event.hpp"

#include <cstddef>
#include <stdexcept>
#include <utility>

namespace vesk {

// Entering a gate that close() has begun to close.
class GateClosedError : public std::runtime_error {
 public:
  GateClosedError() : std::runtime_error("the gate is closed: no new work is let in") {}
};

class Gate {
 public:
  Gate() { _idle.set(); }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Counts one piece of work in; GateClosedError once the gate is closing.
  void enter();
  // As enter(), but says false instead of throwing.
  bool try_enter() noexcept;
  // Counts one piece of work out; the last one out wakes close().
  void leave() noexcept;

  std::size_t count() const noexcept { return _count; }
  bool is_closed() const noexcept { return _closed; }

  // Refuses new work from now on and suspends until every piece that entered has left.
  // Cancellable; the gate stays closed either way.
  Awaitable<void> close();

  // Enters on construction and leaves on destruction.
  class Holder {
   public:
    explicit Holder(Gate& gate) : _gate(&gate) { gate.enter(); }
    ~Holder() {
      if (_gate) _gate->leave();
    }
    Holder(Holder&& other) noexcept : _gate(std::exchange(other._gate, nullptr)) {}
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    Holder& operator=(Holder&&) = delete;

   private:
    Gate* _gate;
  };

 private:
  std::size_t _count = 0;
  bool _closed = false;
  Event _idle;  // set while nothing is in flight
};

}  // namespace vesk

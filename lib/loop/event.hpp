#pragma once
// Event: a flag that tasks on the loop wait for. set() wakes every waiter at once; a wait that
// begins while the flag is set returns at once; clear() lowers it again. Waits are cancellable.
// Every call runs on the loop thread. Keep the event alive while tasks wait on it.

#include "vesk/loop/event_loop.hpp"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <vector>

namespace vesk {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void clear() noexcept { _set = false; }
  bool is_set() const noexcept { return _set; }

  // Suspends until the event is set; CancelledError when the waiting task is cancelled first.
  Awaitable<void> wait();
  // As wait(), for at most `limit`: true when the event was set, false when the time ran out.
  Awaitable<bool> wait_for(std::chrono::steady_clock::duration limit);

 private:
  bool _set = false;
  // Counts set() calls, so that a waiter woken by a set() that a clear() has already undone
  // still knows it was woken.
  unsigned long _generation = 0;
  std::vector<std::weak_ptr<asio::steady_timer>> _waiters;
};

}  // namespace vesk

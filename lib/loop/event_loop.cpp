#include "vesk/loop/event_loop.hpp"

#include "vesk/loop/errors.hpp"

#include <stdexcept>

namespace vesk {
namespace {
thread_local EventLoop* running_loop = nullptr;
}

// Marks the loop as running on this thread for the scope's duration; nests for re-entrant runs.
class EventLoop::RunningScope {
 public:
  explicit RunningScope(EventLoop* loop) : _previous(running_loop) { running_loop = loop; }
  ~RunningScope() { running_loop = _previous; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  EventLoop* _previous;
};

EventLoop::EventLoop(std::size_t blocking_threads) : _pool(blocking_threads) {}

EventLoop::~EventLoop() {
  // Blocking calls still running post their results to _io: let them finish first.
  _pool.stop();
  _pool.join();
}

void EventLoop::run() {
  RunningScope scope(this);
  _io.restart();
  _io.run();
}

void EventLoop::run_for(std::chrono::steady_clock::duration limit) {
  RunningScope scope(this);
  _io.restart();
  _io.run_for(limit);
}

void EventLoop::stop() { _io.stop(); }

void EventLoop::run_until(const bool& done) {
  RunningScope scope(this);
  _io.restart();
  while (!done) {
    // No handler ran: the loop was stopped, or nothing is left that could end the task.
    if (_io.run_one() == 0 && !done) throw std::runtime_error("event loop stopped before the task ended");
  }
}

EventLoop& EventLoop::running() {
  if (running_loop == nullptr) throw NoRunningLoopError();
  return *running_loop;
}

EventLoop* EventLoop::try_running() noexcept { return running_loop; }

}  // namespace vesk

#pragma once
// The event loop of a process: one asio::io_context run on one thread, plus a thread pool for
// calls that block. The loop that runs on a thread can be looked up from code on that thread.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>

namespace vesk {

template <class T = void>
using Awaitable = asio::awaitable<T>;

class EventLoop {
 public:
  explicit EventLoop(std::size_t blocking_threads = 4);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context() noexcept { return _io; }
  asio::any_io_executor executor() noexcept { return _io.get_executor(); }
  // The "default executor": threads for blocking calls (file I/O, transfers, client calls).
  asio::thread_pool& blocking_pool() noexcept { return _pool; }

  // Runs until stop() or until no work is left.
  void run();
  // Runs for at most `limit`, returning earlier when no work is left or stop() was called.
  void run_for(std::chrono::steady_clock::duration limit);
  void stop();

  // Runs `body` as a task and the loop until that task ends; returns its result or rethrows.
  template <class T>
  T run_until_complete(Awaitable<T> body);

  // The loop running on the calling thread; NoRunningLoopError when there is none.
  static EventLoop& running();
  static EventLoop* try_running() noexcept;

 private:
  class RunningScope;
  void run_until(const bool& done);

  asio::io_context _io;
  asio::thread_pool _pool;
};

}  // namespace vesk

#include "vesk/loop/task.hpp"

namespace vesk {

template <class T>
T EventLoop::run_until_complete(Awaitable<T> body) {
  auto task = Task<T>::create(*this, std::move(body));
  run_until(task.core().done);
  return task.result();
}

}  // namespace vesk

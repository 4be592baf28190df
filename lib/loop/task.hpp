#pragma once
// Tasks on the event loop: create, cancel, await, done; gather; cancellable sleep; blocking
// calls on the loop's thread pool that resume on the loop thread.
//
// Every operation here runs on the loop thread. Cancelling a task interrupts it at its current
// suspension point with CancelledError (or asio's operation_aborted); whoever awaits a cancelled
// task gets CancelledError too. Awaiting is itself cancellable and leaves the awaited task alone.

#include "vesk/loop/errors.hpp"
#include "vesk/loop/logging.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesk {

class EventLoop;
template <class T>
class Task;

namespace detail {

struct TaskCore {
  bool done = false;
  bool cancel_requested = false;
  bool was_cancelled = false;
  std::exception_ptr error;  // set when the task failed or was cancelled
  asio::cancellation_signal signal;
  std::vector<std::function<void()>> on_done;

  void finish(std::exception_ptr e);
  void request_cancel();
};

template <class T>
struct TaskState : TaskCore {
  std::optional<T> value;
};

template <>
struct TaskState<void> : TaskCore {};

asio::any_io_executor loop_executor(EventLoop& loop);
EventLoop& running_loop();

// Suspends until `core` is done; CancelledError when the waiter itself is cancelled first.
asio::awaitable<void> wait_done(std::shared_ptr<TaskCore> core);

// As wait_done, for at most `limit`: true when `core` is done, false when the time ran out.
asio::awaitable<bool> wait_done_for(std::shared_ptr<TaskCore> core, std::chrono::steady_clock::duration limit);

// Suspends until all cores are done, or until the first of them fails (rethrowing its error).
// When the waiter is cancelled, every core is cancelled too.
asio::awaitable<void> wait_all(std::vector<std::shared_ptr<TaskCore>> cores);

// Suspends until at least one of the cores is done. Leaves them all running.
asio::awaitable<void> wait_any(std::vector<std::shared_ptr<TaskCore>> cores);

template <class T>
asio::awaitable<void> task_body(std::shared_ptr<TaskState<T>> state, asio::awaitable<T> body) {
  // Yield once, so that a task never runs before its creator has returned to the loop.
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  if (state->cancel_requested) throw CancelledError();
  if constexpr (std::is_void_v<T>) {
    co_await std::move(body);
  } else {
    state->value.emplace(co_await std::move(body));
  }
}

}  // namespace detail

// A handle to a coroutine running on the loop. Copies share the task. Dropping the handle of a
// task nobody awaits loses its failure: for that, use fire_and_forget().
template <class T = void>
class [[nodiscard]] Task {
 public:
  Task() = default;

  static Task create(EventLoop& loop, asio::awaitable<T> body) {
    Task task;
    task._state = std::make_shared<detail::TaskState<T>>();
    auto state = task._state;
    asio::co_spawn(
        detail::loop_executor(loop), detail::task_body<T>(state, std::move(body)),
        asio::bind_cancellation_slot(state->signal.slot(), [state](std::exception_ptr e) { state->finish(e); }));
    return task;
  }

  // On the loop running on this thread; NoRunningLoopError when there is none.
  static Task create(asio::awaitable<T> body) { return create(detail::running_loop(), std::move(body)); }

  explicit operator bool() const noexcept { return static_cast<bool>(_state); }
  bool done() const noexcept { return _state && _state->done; }
  bool cancelled() const noexcept { return _state && _state->was_cancelled; }
  bool failed() const noexcept { return done() && _state->error && !_state->was_cancelled; }
  std::exception_ptr error() const noexcept { return _state ? _state->error : nullptr; }

  // Asks the task to stop at its current suspension point. Does not wait.
  void cancel() {
    if (_state) _state->request_cancel();
  }

  // Suspends until the task ends; returns its result, rethrows its error, or raises
  // CancelledError when it was cancelled.
  asio::awaitable<T> wait() const {
    auto state = _state;
    if (!state->done) co_await detail::wait_done(state);
    if (state->error) std::rethrow_exception(state->error);
    if constexpr (!std::is_void_v<T>) co_return *state->value;
  }

  // The result of a task that is done.
  T result() const {
    if (_state->error) std::rethrow_exception(_state->error);
    if constexpr (!std::is_void_v<T>) return *_state->value;
  }

  const detail::TaskCore& core() const noexcept { return *_state; }
  std::shared_ptr<detail::TaskCore> core_ptr() const noexcept { return _state; }

 private:
  std::shared_ptr<detail::TaskState<T>> _state;
};

// Awaits every task; fails with the first error to happen while the other tasks run on. When
// the gather itself is cancelled, the tasks are cancelled too.
template <class T>
asio::awaitable<void> gather(const std::vector<Task<T>>& tasks) {
  std::vector<std::shared_ptr<detail::TaskCore>> cores;
  cores.reserve(tasks.size());
  for (const auto& t : tasks) cores.push_back(t.core_ptr());
  co_await detail::wait_all(std::move(cores));
}

// Suspends until at least one of the tasks has ended, however it ended; returns its index.
// The other tasks run on. Cancelling the wait leaves every task alone.
template <class... Ts>
asio::awaitable<std::size_t> wait_any(const Task<Ts>&... tasks) {
  std::vector<std::shared_ptr<detail::TaskCore>> cores{tasks.core_ptr()...};
  co_await detail::wait_any(cores);
  for (std::size_t i = 0; i < cores.size(); ++i) {
    if (cores[i]->done) co_return i;
  }
  co_return cores.size();
}

// Suspends until the task ends, for at most `limit`: true when it has ended (however it ended),
// false when the time ran out. The task runs on either way; cancelling the wait leaves it alone.
template <class T, class Rep, class Period>
asio::awaitable<bool> wait_for(const Task<T>& task, std::chrono::duration<Rep, Period> limit) {
  return detail::wait_done_for(task.core_ptr(), std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit));
}

// Starts `body` as a task that nobody awaits. A failure is logged on `logger` as "<what> failed:
// <error>"; a cancellation ends it quietly.
void fire_and_forget(EventLoop& loop, asio::awaitable<void> body, Logger logger, std::string what);

// Runs `body` and hands back its failure, or null when it succeeded. A cancellation is no failure:
// it goes on to the caller. For code that logs a failure and goes on, since a coroutine cannot
// co_await inside a catch block:
//   auto work = step();
//   if (auto failure = co_await attempt(std::move(work))) logger->error(error_text(failure));
asio::awaitable<std::exception_ptr> attempt(asio::awaitable<void> body);

// Sleeps on the loop; cancellation ends the sleep at once with CancelledError.
asio::awaitable<void> sleep(std::chrono::steady_clock::duration duration);

template <class Rep, class Period>
asio::awaitable<void> sleep(std::chrono::duration<Rep, Period> duration) {
  return sleep(std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration));
}

namespace detail {
asio::thread_pool& blocking_pool_of_running_loop();
}

// Runs `fn` on a thread of the loop's blocking pool and resumes on the loop thread with its
// result or error. A blocking call cannot be interrupted: cancellation takes effect after it.
template <class Fn>
auto run_blocking(Fn fn) -> asio::awaitable<std::invoke_result_t<Fn&>> {
  using R = std::invoke_result_t<Fn&>;
  using Holder = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;
  auto& pool = detail::blocking_pool_of_running_loop();
  // Named, not a temporary inside the co_await expression: g++ 12 destroys such temporaries
  // twice, which frees whatever `fn` captured twice. Callers: for the same reason, pass a named
  // callable (`auto job = [...]{...}; co_await run_blocking(std::move(job));`), not a capturing
  // lambda written inside the co_await.
  auto initiation = [&pool, fn = std::move(fn)](auto handler) mutable {
    auto work = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(pool, [fn = std::move(fn), handler = std::move(handler), work = std::move(work)]() mutable {
      std::exception_ptr error;
      Holder result{};
      try {
        if constexpr (std::is_void_v<R>) {
          fn();
        } else {
          result.emplace(fn());
        }
      } catch (...) {
        error = std::current_exception();
      }
      auto executor = work.get_executor();
      asio::post(executor, [handler = std::move(handler), error, result = std::move(result)]() mutable {
        std::move(handler)(error, std::move(result));
      });
    });
  };
  auto holder = co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Holder)>(
      std::move(initiation), asio::use_awaitable);
  if constexpr (!std::is_void_v<R>) co_return std::move(*holder);
}

}  // namespace vesk

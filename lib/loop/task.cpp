#include "loop/task.hpp"

#include "loop/event_loop.hpp"

#include <asio/error.hpp>

namespace vesk::detail {

void TaskCore::finish(std::exception_ptr e) {
  done = true;
  if (e && is_cancellation(e)) {
    was_cancelled = true;
    error = std::make_exception_ptr(CancelledError());
  } else {
    error = std::move(e);
  }
  auto callbacks = std::move(on_done);
  on_done.clear();
  for (auto& callback : callbacks) callback();
}

void TaskCore::request_cancel() {
  if (done) return;
  cancel_requested = true;
  signal.emit(asio::cancellation_type::terminal);
}

asio::any_io_executor loop_executor(EventLoop& loop) { return loop.executor(); }

EventLoop& running_loop() { return EventLoop::running(); }

asio::thread_pool& blocking_pool_of_running_loop() { return EventLoop::running().blocking_pool(); }

namespace {

// A timer that never fires on its own: a waiter suspends on it and is woken by cancel().
std::shared_ptr<asio::steady_timer> make_wakeup(const asio::any_io_executor& executor) {
  return std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
}

asio::awaitable<void> suspend_on(asio::steady_timer& wakeup) {
  try {
    co_await wakeup.async_wait(asio::use_awaitable);
  } catch (const std::system_error&) {
    // Woken (or cancelled); the caller tells which from the state it waits for.
  }
}

}  // namespace

asio::awaitable<void> wait_done(std::shared_ptr<TaskCore> core) {
  if (core->done) co_return;
  auto wakeup = make_wakeup(co_await asio::this_coro::executor);
  core->on_done.push_back([weak = std::weak_ptr<asio::steady_timer>(wakeup)] {
    if (auto timer = weak.lock()) timer->cancel();
  });
  co_await suspend_on(*wakeup);
  if (!core->done) throw CancelledError();
}

asio::awaitable<bool> wait_done_for(std::shared_ptr<TaskCore> core, std::chrono::steady_clock::duration limit) {
  if (core->done) co_return true;
  auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, limit);
  core->on_done.push_back([weak = std::weak_ptr<asio::steady_timer>(timer)] {
    if (auto t = weak.lock()) t->cancel();
  });
  std::error_code woken;
  try {
    co_await timer->async_wait(asio::use_awaitable);
  } catch (const std::system_error& e) {
    woken = e.code();
  }
  if (core->done) co_return true;
  if (woken == asio::error::operation_aborted) throw CancelledError();
  co_return false;
}

asio::awaitable<void> wait_any(std::vector<std::shared_ptr<TaskCore>> cores) {
  for (const auto& core : cores) {
    if (core->done) co_return;
  }
  auto wakeup = make_wakeup(co_await asio::this_coro::executor);
  std::weak_ptr<asio::steady_timer> weak = wakeup;
  for (const auto& core : cores) {
    core->on_done.push_back([weak] {
      if (auto timer = weak.lock()) timer->cancel();
    });
  }
  co_await suspend_on(*wakeup);
  for (const auto& core : cores) {
    if (core->done) co_return;
  }
  throw CancelledError();
}

asio::awaitable<void> wait_all(std::vector<std::shared_ptr<TaskCore>> cores) {
  struct Progress {
    std::size_t remaining = 0;
    std::exception_ptr first_error;
  };
  auto progress = std::make_shared<Progress>();
  for (const auto& core : cores) {
    if (!core->done) {
      ++progress->remaining;
    } else if (core->error && !progress->first_error) {
      progress->first_error = core->error;
    }
  }
  if (progress->first_error) std::rethrow_exception(progress->first_error);
  if (progress->remaining == 0) co_return;

  auto wakeup = make_wakeup(co_await asio::this_coro::executor);
  std::weak_ptr<asio::steady_timer> weak = wakeup;
  for (const auto& core : cores) {
    if (core->done) continue;
    core->on_done.push_back([progress, weak, raw = core.get()] {
      --progress->remaining;
      if (raw->error && !progress->first_error) progress->first_error = raw->error;
      if (progress->first_error || progress->remaining == 0) {
        if (auto timer = weak.lock()) timer->cancel();
      }
    });
  }
  co_await suspend_on(*wakeup);
  if (progress->first_error) std::rethrow_exception(progress->first_error);
  if (progress->remaining == 0) co_return;
  for (const auto& core : cores) core->request_cancel();
  throw CancelledError();
}

}  // namespace vesk::detail

namespace vesk {

asio::awaitable<void> sleep(std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (const std::system_error& e) {
    if (e.code() == asio::error::operation_aborted) throw CancelledError();
    throw;
  }
}

}  // namespace vesk

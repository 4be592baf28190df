#include "vesk/loop/task.hpp"

#include "vesk/loop/event.hpp"
#include "vesk/loop/event_loop.hpp"

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

asio::awaitable<void> wait_done(std::shared_ptr<TaskCore> core) {
  if (core->done) co_return;
  auto finished = std::make_shared<Event>();
  core->on_done.push_back([weak = std::weak_ptr<Event>(finished)] {
    if (auto event = weak.lock()) event->set();
  });
  co_await finished->wait();
}

asio::awaitable<bool> wait_done_for(std::shared_ptr<TaskCore> core, std::chrono::steady_clock::duration limit) {
  if (core->done) co_return true;
  auto finished = std::make_shared<Event>();
  core->on_done.push_back([weak = std::weak_ptr<Event>(finished)] {
    if (auto event = weak.lock()) event->set();
  });
  co_return co_await finished->wait_for(limit);
}

asio::awaitable<void> wait_any(std::vector<std::shared_ptr<TaskCore>> cores) {
  for (const auto& core : cores) {
    if (core->done) co_return;
  }
  auto first_done = std::make_shared<Event>();
  std::weak_ptr<Event> weak = first_done;
  for (const auto& core : cores) {
    core->on_done.push_back([weak] {
      if (auto event = weak.lock()) event->set();
    });
  }
  co_await first_done->wait();
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

  auto settled = std::make_shared<Event>();
  std::weak_ptr<Event> weak = settled;
  for (const auto& core : cores) {
    if (core->done) continue;
    core->on_done.push_back([progress, weak, raw = core.get()] {
      --progress->remaining;
      if (raw->error && !progress->first_error) progress->first_error = raw->error;
      if (progress->first_error || progress->remaining == 0) {
        if (auto event = weak.lock()) event->set();
      }
    });
  }
  std::exception_ptr cancelled;
  try {
    co_await settled->wait();
  } catch (const CancelledError&) {
    cancelled = std::current_exception();
  }
  if (cancelled) {
    for (const auto& core : cores) core->request_cancel();
    std::rethrow_exception(cancelled);
  }
  if (progress->first_error) std::rethrow_exception(progress->first_error);
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

void fire_and_forget(EventLoop& loop, asio::awaitable<void> body, Logger logger, std::string what) {
  auto guarded = [](asio::awaitable<void> body, Logger logger, std::string what) -> asio::awaitable<void> {
    auto failure = co_await attempt(std::move(body));
    if (failure && logger) logger->error(what + " failed: " + error_text(failure));
  };
  (void)Task<void>::create(loop, guarded(std::move(body), std::move(logger), std::move(what)));
}

asio::awaitable<std::exception_ptr> attempt(asio::awaitable<void> body) {
  std::exception_ptr failure;
  try {
    co_await std::move(body);
  } catch (...) {
    failure = std::current_exception();
  }
  rethrow_if_cancellation(failure);
  co_return failure;
}

}  // namespace vesk

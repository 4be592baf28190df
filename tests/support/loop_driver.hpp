#pragma once
// Driving a test body on an event loop with a bound: a body that hangs fails its test instead of
// the whole suite's time limit.

#include "vesk/loop/event_loop.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace vesk::testing {

// Runs `body` on `loop` until it ends and rethrows its failure. A body still running after `limit`
// is cancelled and fails the test.
inline void run_within(EventLoop& loop, const std::function<Awaitable<void>()>& body, std::chrono::seconds limit) {
  auto task = Task<void>::create(loop, body());
  auto bounded = [](Task<void> task, std::chrono::seconds limit) -> Awaitable<bool> {
    if (co_await wait_for(task, limit)) {
      co_await task.wait();
      co_return true;
    }
    task.cancel();
    co_await wait_for(task, std::chrono::seconds(10));
    co_return false;
  };
  if (!loop.run_until_complete(bounded(task, limit))) {
    ADD_FAILURE() << "the test did not finish within " << limit.count() << " s";
  }
}

// Runs `body` on a one-thread loop of its own, bounded as run_within bounds it.
inline void run_bounded(const std::function<Awaitable<void>()>& body,
                        std::chrono::seconds limit = std::chrono::seconds(60)) {
  EventLoop loop(1);
  run_within(loop, body, limit);
}

}  // namespace vesk::testing

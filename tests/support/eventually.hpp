#pragma once
// Waiting for a condition in end-to-end tests without blocking the event loop.

#include "vesk/loop/task.hpp"

#include <chrono>

namespace vesk::testing {

// Polls `done` every 10 ms until it holds or `limit` passes; returns whether it held.
template <class Predicate>
Awaitable<bool> eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) co_return false;
    co_await sleep(std::chrono::milliseconds(10));
  }
  co_return true;
}

}  // namespace vesk::testing

#include "vesk/loop/event.hpp"

#include "vesk/loop/errors.hpp"

#include <asio/error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <system_error>

namespace vesk {

void Event::set() {
  _set = true;
  ++_generation;
  auto waiters = std::move(_waiters);
  _waiters.clear();
  for (auto& weak : waiters) {
    if (auto timer = weak.lock()) timer->cancel();
  }
}

Awaitable<void> Event::wait() {
  const std::chrono::steady_clock::duration a_day = std::chrono::hours(24);
  bool woken = _set;
  while (!woken) woken = co_await wait_for(a_day);
}

Awaitable<bool> Event::wait_for(std::chrono::steady_clock::duration limit) {
  if (_set) co_return true;
  const auto generation = _generation;
  auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, limit);
  // Waiters that ended without being woken leave expired entries behind: drop them here.
  std::erase_if(_waiters, [](const std::weak_ptr<asio::steady_timer>& w) { return w.expired(); });
  _waiters.push_back(timer);
  std::error_code woken;
  try {
    co_await timer->async_wait(asio::use_awaitable);
  } catch (const std::system_error& e) {
    woken = e.code();
  }
  if (_set || _generation != generation) co_return true;
  // Aborted without the event being set: the waiting task itself was cancelled.
  if (woken == asio::error::operation_aborted) throw CancelledError();
  co_return false;
}

}  // namespace vesk

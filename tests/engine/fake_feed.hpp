#pragma once
// A scripted source for the engine tests: records its calls, can fail its starts, and hands out
// prepared batches.

#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::testing {

class FakeFeed : public VeskFeed {
 public:
  explicit FakeFeed(Logger logger = null_logger()) : VeskFeed(std::move(logger)) {}

  std::vector<std::string> calls;  // "stop", "start", "seek <p> <offset>", "get_many <p>"
  int failing_starts = 0;          // this many starts fail before one succeeds
  bool always_fail = false;
  std::function<void()> on_start;            // runs at the start of every start()
  std::deque<std::vector<Message>> batches;  // handed out by get_many, oldest first

  Awaitable<void> stop() override {
    calls.push_back("stop");
    co_return;
  }
  Awaitable<void> start() override {
    calls.push_back("start");
    if (on_start) on_start();
    if (always_fail || failing_starts > 0) {
      --failing_starts;
      throw std::runtime_error("broker unreachable");
    }
    co_return;
  }
  Awaitable<void> seek(const PartitionState& state) override {
    calls.push_back("seek " + std::to_string(state.partition) + " " + std::to_string(state.offset));
    co_return;
  }
  Awaitable<std::vector<Message>> get_many(PartitionId partition) override {
    calls.push_back("get_many " + std::to_string(partition));
    if (batches.empty()) {
      co_await sleep(std::chrono::milliseconds(20));
      co_return std::vector<Message>{};
    }
    auto batch = std::move(batches.front());
    batches.pop_front();
    co_return batch;
  }

  std::shared_ptr<VeskRebalanceListener> listener() const { return _listener; }
  std::size_t count(const std::string& call) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c == call;
    return n;
  }
};

}  // namespace vesk::testing

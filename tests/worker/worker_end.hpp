#pragma once
// The consumer's end of the channel to a spawned worker, as the worker tests drive it.

#include "vesk/channel/channel.hpp"

#include <memory>
#include <vector>

namespace vesk::testing {

struct WorkerEnd {
  std::shared_ptr<ChannelConnection> conn;

  // Sends one value and receives the answer.
  Awaitable<Value> exchange(const Value& v) {
    co_await conn->send(v);
    co_return co_await conn->receive();
  }
  // Sends one batch of messages and receives the answer.
  Awaitable<Value> batch(const std::vector<Message>& messages) {
    co_await conn->send_batch(messages);
    co_return co_await conn->receive();
  }
};

}  // namespace vesk::testing

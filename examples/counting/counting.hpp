#pragma once
// The handler module "examples.counting": two small handlers used by the demo and the tests.

#include <vesk/stream_handler/stream_handler.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace examples::counting {

// Counts the messages of every key. A message whose value is exactly "forget" drops the key.
class KeyCounter : public vesk::StreamHandler<std::int64_t> {
 public:
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& message,
                                                       std::optional<std::int64_t> state) override {
    if (message.value == "forget") co_return std::nullopt;
    co_return state.value_or(0) + 1;
  }
};

// Keeps, for every key, the offsets of its messages in the order they were processed.
class OffsetLog : public vesk::StreamHandler<std::vector<std::int64_t>> {
 public:
  vesk::Awaitable<std::optional<std::vector<std::int64_t>>> process(
      const vesk::Message& message, std::optional<std::vector<std::int64_t>> state) override {
    std::vector<std::int64_t> offsets = state ? std::move(*state) : std::vector<std::int64_t>{};
    offsets.push_back(message.offset);
    co_return offsets;
  }
};

}  // namespace examples::counting

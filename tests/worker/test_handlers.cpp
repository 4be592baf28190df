// The handler module "tests.handlers": handlers whose behaviour the worker tests pin down.

#include "vesk/stream_handler/stream_handler.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tests_handlers {

// Counts messages per key, but fails for a message whose value is "boom".
class Flaky : public vesk::StreamHandler<std::int64_t> {
 public:
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& message,
                                                       std::optional<std::int64_t> state) override {
    if (message.value == "boom") throw std::runtime_error("boom");
    co_return state.value_or(0) + 1;
  }
};

// A state record: the number of messages and the last value seen.
struct Summary {
  std::int64_t count = 0;
  std::string last;
};
VESK_RECORD(Summary, count, last)

class Summarise : public vesk::StreamHandler<Summary> {
 public:
  vesk::Awaitable<std::optional<Summary>> process(const vesk::Message& message, std::optional<Summary> state) override {
    Summary s = state.value_or(Summary{});
    ++s.count;
    s.last = message.value;
    co_return s;
  }
};

// Keeps each key's last value, whatever its bytes.
class LastValue : public vesk::StreamHandler<std::string> {
 public:
  vesk::Awaitable<std::optional<std::string>> process(const vesk::Message& message,
                                                      std::optional<std::string>) override {
    co_return message.value;
  }
};

// Keeps each key's last value as text, also when it is not UTF-8: such a state cannot be sent.
class LastText : public vesk::StreamHandler<vesk::Value> {
 public:
  vesk::Awaitable<std::optional<vesk::Value>> process(const vesk::Message& message,
                                                      std::optional<vesk::Value>) override {
    co_return vesk::Value(message.value);
  }
};

class FailsToConstruct : public vesk::StreamHandler<std::int64_t> {
 public:
  FailsToConstruct() { throw std::runtime_error("FailsToConstruct refuses to be built"); }
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message&, std::optional<std::int64_t>) override {
    co_return std::nullopt;
  }
};

class Outer {
 public:
  class Inner : public vesk::StreamHandler<std::int64_t> {
   public:
    vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message&, std::optional<std::int64_t> s) override {
      co_return s;
    }
  };
};

VESK_REGISTER_HANDLER(Flaky);
VESK_REGISTER_HANDLER(Summarise);
VESK_REGISTER_HANDLER(LastValue);
VESK_REGISTER_HANDLER(LastText);
VESK_REGISTER_HANDLER(FailsToConstruct);
VESK_REGISTER_HANDLER(Outer::Inner);

}  // namespace tests_handlers

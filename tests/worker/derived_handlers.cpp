// The handler module "tests.handlers.derived": a handler derived from one of another module.

#include "counting.hpp"

namespace tests_derived {

class DoubleCounter : public examples::counting::KeyCounter {
 public:
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& message,
                                                       std::optional<std::int64_t> state) override {
    auto once = co_await KeyCounter::process(message, state);
    co_return once ? std::optional<std::int64_t>(*once + 1) : std::nullopt;
  }
};

VESK_REGISTER_HANDLER(DoubleCounter);

}  // namespace tests_derived

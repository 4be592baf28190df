// The handler module "examples.aggregates": running aggregates of JSON readings, per key.
#include <vesk/stream_handler/stream_handler.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace examples::aggregates {

// What is kept for each key, stored as the dict
// {"count": .., "sum": .., "min": .., "max": .., "last": .., "last_seen": ..}.
struct Aggregate {
  std::int64_t count = 0;
  double sum = 0;
  double min = 0;
  double max = 0;
  double last = 0;             // the value of the newest reading
  std::int64_t last_seen = 0;  // its "at" (or the message's timestamp when it has none)
};
VESK_RECORD(Aggregate, count, sum, min, max, last, last_seen);

// Reads messages whose value is a JSON object like {"value": 21.5, "at": 1700000000} and keeps
// the count, sum, minimum, maximum, last value and last time seen of every key. A message that
// is not such an object leaves the key's aggregate as it was.
class RunningAggregate : public vesk::StreamHandler<Aggregate> {
 public:
  vesk::Awaitable<std::optional<Aggregate>> process(const vesk::Message& message,
                                                    std::optional<Aggregate> state) override {
    const auto reading = nlohmann::json::parse(message.value, nullptr, /*allow_exceptions=*/false);
    if (!reading.is_object() || !reading.contains("value") || !reading["value"].is_number()) co_return state;
    const double value = reading["value"].get<double>();
    const auto at = reading.find("at");
    const std::int64_t seen = at != reading.end() && at->is_number_integer() ? at->get<std::int64_t>()
                                                                             : message.timestamp;

    Aggregate a = state.value_or(Aggregate{});
    a.min = a.count == 0 ? value : std::min(a.min, value);
    a.max = a.count == 0 ? value : std::max(a.max, value);
    a.count += 1;
    a.sum += value;
    a.last = value;
    a.last_seen = seen;
    co_return a;
  }
};

VESK_REGISTER_HANDLER(RunningAggregate);

}  // namespace examples::aggregates

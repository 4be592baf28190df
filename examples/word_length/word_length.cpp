// word_length.cpp
#include <vesk/stream_handler/stream_handler.hpp>

namespace app {

struct Stats {
  std::int64_t messages = 0;
  std::int64_t bytes = 0;
};
// In the namespace of Stats, before the handler: stored as the dict {"messages": .., "bytes": ..}.
VESK_RECORD(Stats, messages, bytes);

class WordStats : public vesk::StreamHandler<Stats> {
 public:
  vesk::Awaitable<std::optional<Stats>> process(const vesk::Message& message, std::optional<Stats> state) override {
    Stats s = state.value_or(Stats{});
    s.messages += 1;
    s.bytes += static_cast<std::int64_t>(message.value.size());
    co_return s;
  }
};

VESK_REGISTER_HANDLER(WordStats);  // the handler path is "app.words.WordStats"

}  // namespace app

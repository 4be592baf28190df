// Must not compile: the record is declared after the handler that uses it, so the handler's state
// type has no conversion yet. The build of this file is expected to fail with one static_assert.
#include "vesk/stream_handler/stream_handler.hpp"

namespace app {

struct Stats {
  std::int64_t messages = 0;
};

class WordStats : public vesk::StreamHandler<Stats> {
 public:
  vesk::Awaitable<std::optional<Stats>> process(const vesk::Message&, std::optional<Stats> state) override {
    co_return state;
  }
};

VESK_REGISTER_HANDLER(WordStats);

}  // namespace app

VESK_RECORD(app::Stats, messages);

// A handler outside the Vesk tree: the total length of every key's values.
#include <vesk/stream_handler/stream_handler.hpp>

#include <cstdint>

namespace host {

class TotalLength : public vesk::StreamHandler<std::int64_t> {
 public:
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& m, std::optional<std::int64_t> s) override {
    co_return s.value_or(0) + static_cast<std::int64_t>(m.value.size());
  }
};

VESK_REGISTER_HANDLER(TotalLength);

}  // namespace host

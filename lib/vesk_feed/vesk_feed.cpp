#include "vesk/vesk_feed/vesk_feed.hpp"

namespace vesk {

VeskFeed::VeskFeed(Logger logger) : logger(std::move(logger)) {}
VeskFeed::~VeskFeed() = default;

void VeskFeed::set_listener(std::shared_ptr<VeskRebalanceListener> listener) { _listener = std::move(listener); }

// The base versions complete at once without effect, so that implementations may call them.
Awaitable<void> VeskFeed::stop() { co_return; }
Awaitable<void> VeskFeed::seek(const PartitionState&) { co_return; }
Awaitable<void> VeskFeed::start() { co_return; }
Awaitable<std::vector<Message>> VeskFeed::get_many(PartitionId) { co_return std::vector<Message>{}; }
std::optional<std::int64_t> VeskFeed::high_watermark(PartitionId) const { return std::nullopt; }

void VeskFeed::recycle(PartitionId, std::vector<Message>&&) {}
std::optional<SourceHealth> VeskFeed::health() const { return std::nullopt; }
void VeskFeed::checkpoint_stored(PartitionId, Offset) {}

}  // namespace vesk

#pragma once
// A source of messages partitioned by number: the engine starts and stops it, a partition
// consumer positions it on a partition and pulls batches from it.

#include "loop/event_loop.hpp"
#include "loop/logging.hpp"
#include "models/partition_state.hpp"
#include "vesk_feed/message.hpp"
#include "vesk_rebalance_listener/vesk_rebalance_listener.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vesk {

class VeskFeed {
 public:
  explicit VeskFeed(Logger logger);
  virtual ~VeskFeed();
  VeskFeed(const VeskFeed&) = delete;
  VeskFeed& operator=(const VeskFeed&) = delete;

  // Releases what start() acquired; harmless on a source never started or already stopped.
  virtual Awaitable<void> stop() = 0;
  // Only stores the listener, replacing any earlier one; implementations read it when they start.
  void set_listener(std::shared_ptr<VeskRebalanceListener> listener);
  // Positions further reads of state.partition so that the next batch begins at state.offset.
  virtual Awaitable<void> seek(const PartitionState& state) = 0;
  // Begins consuming; partitions are then reported to the listener on the loop thread.
  virtual Awaitable<void> start() = 0;
  // Waits for and returns the next batch of messages of the partition, in delivery order.
  virtual Awaitable<std::vector<Message>> get_many(PartitionId partition) = 0;
  // The offset one past the partition's last message as far as the source knows now, or none
  // when it does not know. Never waits for a broker. The base version knows nothing.
  virtual std::optional<std::int64_t> high_watermark(PartitionId partition) const;
  // Hands a batch that get_many returned back once its messages are no longer needed, so that a
  // source may fill its buffers again instead of allocating new ones. The base version drops it.
  virtual void recycle(PartitionId partition, std::vector<Message>&& batch);

  Logger logger;

 protected:
  std::shared_ptr<VeskRebalanceListener> _listener;
};

}  // namespace vesk

#pragma once
// A source of messages partitioned by number: the engine starts and stops it, a partition
// consumer positions it on a partition and pulls batches from it.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_feed/message.hpp"
#include "vesk/vesk_rebalance_listener/vesk_rebalance_listener.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

// How a source's link to its cluster stands, for health checks and metrics.
struct SourceHealth {
  // Why the source cannot do its work now, each naming its cause; empty while it can.
  std::vector<std::string> problems;
  // Seconds since a broker last answered; none before the first answer.
  std::optional<double> seconds_since_broker_contact;
  // Whether the host is a member of its consumer group now.
  bool group_member = false;
};

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
  // How the source's link to its cluster stands; none when it has nothing to say (the base
  // version, and a source that is not running).
  virtual std::optional<SourceHealth> health() const;
  // Told by the partition's consumer once a checkpoint is stored, with the offset of the next
  // message to read that it holds. Only for others to see: the base version does nothing.
  virtual void checkpoint_stored(PartitionId partition, Offset offset);

  Logger logger;

 protected:
  std::shared_ptr<VeskRebalanceListener> _listener;
};

}  // namespace vesk

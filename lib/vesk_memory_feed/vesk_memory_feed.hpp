#pragma once
// VeskMemoryFeed: a source whose partitions are message lists held in memory, for tests and for
// trying a handler without a broker. Lists may grow while the engine runs; start() reports every
// partition to the listener, and partitions can be revoked and reassigned on request.

#include "vesk/vesk_feed/vesk_feed.hpp"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

class VeskMemoryFeed : public VeskFeed {
 public:
  // At most this many messages come back from one get_many, as from the Kafka source.
  static constexpr std::size_t max_batch = 1000;

  // Partitions 0 … partitions-1, all empty. get_many waits up to `max_wait` for a message and
  // then returns an empty batch, like a broker fetch that times out.
  VeskMemoryFeed(Logger logger, int partitions, std::chrono::steady_clock::duration max_wait = std::chrono::seconds(1));
  ~VeskMemoryFeed() override;

  Awaitable<void> stop() override;
  Awaitable<void> seek(const PartitionState& state) override;
  Awaitable<void> start() override;
  Awaitable<std::vector<Message>> get_many(PartitionId partition) override;
  // One past the offset of the partition's last message (0 when empty); none for a partition
  // it does not have.
  std::optional<std::int64_t> high_watermark(PartitionId partition) const override;

  // Appends a message at the next offset of the partition (one past its last, 0 when empty) and
  // returns that offset. Safe from any thread; wakes readers waiting on the partition.
  Offset produce(PartitionId partition, std::optional<std::string> key, std::string value, std::int64_t timestamp = 0);
  // Appends messages that carry their own offsets, which must grow along the partition.
  void append(PartitionId partition, std::vector<Message> messages);

  // Tells the listener that these partitions are lost (on the loop thread, like a rebalance).
  void revoke(const std::vector<PartitionId>& partitions);
  // Tells the listener that these partitions are given to it.
  void assign(const std::vector<PartitionId>& partitions);

  int partitions() const noexcept { return static_cast<int>(_partitions.size()); }
  // Number of messages held in the partition.
  std::size_t size(PartitionId partition) const;
  // Partitions currently reported as assigned (all of them after start(), none after stop()).
  std::vector<PartitionId> assigned() const;
  bool started() const noexcept { return _started; }

 private:
  struct Partition {
    std::vector<Message> messages;
    std::size_t position = 0;  // index of the next message get_many returns
  };
  Partition& partition_at(PartitionId partition);
  const Partition& partition_at(PartitionId partition) const;
  void wake_readers();

  std::chrono::steady_clock::duration _max_wait;
  mutable std::mutex _mutex;  // guards the message lists, which producers may grow from any thread
  std::vector<Partition> _partitions;
  std::vector<std::weak_ptr<asio::steady_timer>> _waiters;
  std::vector<PartitionId> _assigned;
  bool _started = false;
};

}  // namespace vesk

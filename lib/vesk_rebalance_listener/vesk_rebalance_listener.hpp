#pragma once
// The callback interface through which a source tells its owner which partitions it has been
// given or has lost. Every call runs on the event-loop thread; only release_partitions may suspend.

#include "vesk/loop/event_loop.hpp"
#include "vesk/models/partition_state.hpp"

#include <vector>

namespace vesk {

class VeskRebalanceListener {
 public:
  virtual ~VeskRebalanceListener() = default;

  // Called when partitions are revoked from this consumer; `revoked` lists their numbers.
  virtual void on_partitions_revoked(const std::vector<PartitionId>& revoked) = 0;
  // Called when partitions are assigned to this consumer; `assigned` lists their numbers.
  virtual void on_partitions_assigned(const std::vector<PartitionId>& assigned) = 0;
  // Called instead of on_partitions_revoked when the source can hold the partitions back until
  // their work is stored (a revocation while the consumer is healthy); the source gives them up
  // once this completes. It must complete in bounded time and never fail. The base version
  // calls on_partitions_revoked. A partition lost with its session goes to on_partitions_revoked,
  // since another member may already own it.
  virtual Awaitable<void> release_partitions(const std::vector<PartitionId>& revoked);
};

}  // namespace vesk

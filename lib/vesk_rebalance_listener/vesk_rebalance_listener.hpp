#pragma once
// The callback interface through which a source tells its owner which partitions it has been
// given or has lost. Both calls run on the event-loop thread and must not suspend.

#include "models/partition_state.hpp"

#include <vector>

namespace vesk {

class VeskRebalanceListener {
 public:
  virtual ~VeskRebalanceListener() = default;

  // Called when partitions are revoked from this consumer; `revoked` lists their numbers.
  virtual void on_partitions_revoked(const std::vector<PartitionId>& revoked) = 0;
  // Called when partitions are assigned to this consumer; `assigned` lists their numbers.
  virtual void on_partitions_assigned(const std::vector<PartitionId>& assigned) = 0;
};

}  // namespace vesk

#include "vesk/vesk_rebalance_listener/vesk_rebalance_listener.hpp"

namespace vesk {

// The base versions do nothing, so that implementations may call them.
void VeskRebalanceListener::on_partitions_revoked(const std::vector<PartitionId>&) {}
void VeskRebalanceListener::on_partitions_assigned(const std::vector<PartitionId>&) {}

Awaitable<void> VeskRebalanceListener::release_partitions(const std::vector<PartitionId>& revoked) {
  on_partitions_revoked(revoked);
  co_return;
}

}  // namespace vesk

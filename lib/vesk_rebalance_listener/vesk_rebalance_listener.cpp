#include "vesk_rebalance_listener/vesk_rebalance_listener.hpp"

namespace vesk {

// The base versions do nothing, so that implementations may call them.
void VeskRebalanceListener::on_partitions_revoked(const std::vector<PartitionId>&) {}
void VeskRebalanceListener::on_partitions_assigned(const std::vector<PartitionId>&) {}

}  // namespace vesk

#pragma once
// The texts of a partition consumer's checkpoint log lines. Durations are seconds written
// fixed-point with exactly three decimals (0.5 → "0.500").

#include "vesk/models/partition_state.hpp"

#include <cstddef>
#include <string>

namespace vesk {

std::string three_decimals(double seconds);

// "[p<partition>] " — the prefix of every checkpoint line of a partition consumer.
std::string checkpoint_prefix(PartitionId partition);
// "[pN] Collected K key states in X.XXXs"
std::string collected_key_states_text(PartitionId partition, std::size_t count, double collection_seconds);
// "[pN] Checkpoint done - collected in X.XXXs, saved in Y.YYYs, total: Z.ZZZs"
std::string checkpoint_done_text(PartitionId partition, double collection_seconds, double save_seconds);

}  // namespace vesk

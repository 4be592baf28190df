#include "vesk/detail/checkpoint_texts.hpp"

#include <cstdio>

namespace vesk {

std::string three_decimals(double seconds) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

std::string checkpoint_prefix(PartitionId partition) { return "[p" + std::to_string(partition) + "] "; }

std::string collected_key_states_text(PartitionId partition, std::size_t count, double collection_seconds) {
  return checkpoint_prefix(partition) + "Collected " + std::to_string(count) + " key states in " +
         three_decimals(collection_seconds) + "s";
}

std::string checkpoint_done_text(PartitionId partition, double collection_seconds, double save_seconds) {
  return checkpoint_prefix(partition) + "Checkpoint done - collected in " + three_decimals(collection_seconds) +
         "s, saved in " + three_decimals(save_seconds) +
         "s, total: " + three_decimals(collection_seconds + save_seconds) + "s";
}

}  // namespace vesk

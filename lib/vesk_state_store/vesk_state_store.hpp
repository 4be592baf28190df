#pragma once
// Keeps each partition's state as one file, "p-<partition>.state.pkl", in a file backend: a
// pickle (protocol 4) of the dict {"partition", "offset", "state"}.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

#include <memory>
#include <optional>
#include <string>

namespace vesk {

class VeskStateStore {
 public:
  VeskStateStore(std::shared_ptr<VeskFileBackend> storage_provider, Logger logger);

  // The stored state, or none when the partition has no file. Errors reach the caller.
  Awaitable<std::optional<PartitionState>> get_partition_state(PartitionId partition);
  // Writes the whole state. The bytes are those of `state` at the moment of the call.
  Awaitable<void> set_partition_state(PartitionId partition, const PartitionState& state);

  // The stored state with the tag of the file's version: none for both when there is no file.
  struct Versioned {
    std::optional<PartitionState> state;
    std::optional<std::string> tag;
  };
  Awaitable<Versioned> get_versioned_partition_state(PartitionId partition);
  // Writes the whole state only while the file is still the version `expected_tag` names (or,
  // for none, while there is none): the new version's tag, or none when the write was refused.
  // Encoded at the call, like set_partition_state.
  Awaitable<std::optional<std::string>> set_partition_state_if(PartitionId partition, const PartitionState& state,
                                                               std::optional<std::string> expected_tag);

  static std::string get_partition_state_file_name(PartitionId partition);

  const std::shared_ptr<VeskFileBackend> storage_provider;
  const Logger logger;
};

}  // namespace vesk

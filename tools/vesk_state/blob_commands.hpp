#pragma once
// The vesk-state commands that address partitions rather than files: they go through the
// partition state store, over blob storage when the environment names a container.

#include "models/partition_state.hpp"
#include "vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk_state_store/vesk_state_store.hpp"

#include <iosfwd>
#include <memory>

namespace vesk::state_tool {

// The blob backend of AZURE_STORAGE_CONNECTION_STRING, AZURE_STORAGE_CONTAINER_NAME and
// AZURE_STORAGE_PREFIX; ValueError naming the variables when the first two are not both set.
std::shared_ptr<VeskAzureBlobBackend> blob_backend_from_env();

// Prints, one per line, the names of the state files ("p-N.state.pkl") under the backend's prefix.
Awaitable<void> list_states(VeskAzureBlobBackend& backend, std::ostream& out);

// Prints the stored state of `partition` as JSON; ValueError when it has none.
Awaitable<void> dump_partition(VeskStateStore& store, PartitionId partition, std::ostream& out);

// Reads the JSON of a whole state from `in` and stores it as the state of `partition`. The JSON's
// "partition" must be that partition, so that a state never lands in another partition's file.
Awaitable<void> write_partition(VeskStateStore& store, PartitionId partition, std::istream& in);

}  // namespace vesk::state_tool

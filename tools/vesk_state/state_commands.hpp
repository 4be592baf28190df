#pragma once
// The commands of vesk-state, over any file backend, so that the same commands serve a local
// state directory and blob storage.

#include "state_json.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk::state_tool {

// Where the state files are: a local directory (--state-dir) or the blob container that the
// environment names.
struct Storage {
  std::shared_ptr<VeskFileBackend> backend;
  std::shared_ptr<VeskAzureBlobBackend> blob;  // null for a directory
  std::optional<std::filesystem::path> directory;
};

// The directory when given, otherwise the blob backend of AZURE_STORAGE_CONNECTION_STRING,
// AZURE_STORAGE_CONTAINER_NAME and AZURE_STORAGE_PREFIX; ValueError naming what is missing.
// A directory that must exist (every command but write) and does not is a ValueError too.
Storage open_storage(const std::optional<std::string>& state_dir, bool must_exist);

// The names of the state files ("p-N.state.pkl", without the prefix), in name order.
Awaitable<std::vector<std::string>> state_file_names(Storage& storage);

// Prints the state file at `file_path` as JSON. A missing file is a ValueError.
Awaitable<void> dump_state(VeskFileBackend& backend, std::string file_path, std::ostream& out);
// Reads the JSON of a state file from `in` and writes it at `file_path` as a pickle (protocol 4).
// The JSON must describe a whole state: {"partition": int, "offset": int, "state": {...}}.
Awaitable<void> write_state(VeskFileBackend& backend, std::string file_path, std::istream& in);

// Prints the stored state of `partition` as JSON; ValueError when it has none.
Awaitable<void> dump_partition(VeskStateStore& store, PartitionId partition, std::ostream& out);
// Reads the JSON of a whole state from `in` and stores it as the state of `partition`. The JSON's
// "partition" must be that partition, so that a state never lands in another partition's file.
Awaitable<void> write_partition(VeskStateStore& store, PartitionId partition, std::istream& in);
// Prints the state of one key of `partition` as JSON; ValueError when the key has none.
Awaitable<void> get_key(VeskStateStore& store, PartitionId partition, const std::string& key, std::ostream& out);
// The same, from whichever state file holds the key (a key lives in one partition).
Awaitable<void> find_key(Storage& storage, const std::string& key, std::ostream& out);
// Prints one line per state file: its name, partition, offset, key count and size in bytes.
Awaitable<void> print_stats(Storage& storage, std::ostream& out);

}  // namespace vesk::state_tool

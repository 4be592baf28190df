#include "blob_commands.hpp"

#include "config/config.hpp"
#include "loop/errors.hpp"
#include "state_json.hpp"

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace vesk::state_tool {
namespace {

// "p-" + decimal digits + ".state.pkl", as the state store names its files.
bool is_state_file_name(std::string_view name) {
  constexpr std::string_view head = "p-", tail = ".state.pkl";
  if (name.size() <= head.size() + tail.size() || name.substr(0, head.size()) != head ||
      name.substr(name.size() - tail.size()) != tail) {
    return false;
  }
  for (char c : name.substr(head.size(), name.size() - head.size() - tail.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<VeskAzureBlobBackend> blob_backend_from_env() {
  const Config env = Config::from_env();
  std::vector<std::string> missing;
  if (env.AZURE_STORAGE_CONNECTION_STRING.empty()) missing.emplace_back("AZURE_STORAGE_CONNECTION_STRING");
  if (env.AZURE_STORAGE_CONTAINER_NAME.empty()) missing.emplace_back("AZURE_STORAGE_CONTAINER_NAME");
  if (!missing.empty()) {
    throw ValueError("blob storage is not configured: set " + missing.front() +
                     (missing.size() > 1 ? " and " + missing.back() : std::string()));
  }
  // The tool reports failures itself, on one line; the backend's own log lines would repeat them.
  return VeskAzureBlobBackend::from_env(null_logger());
}

Awaitable<void> list_states(VeskAzureBlobBackend& backend, std::ostream& out) {
  for (const std::string& name : co_await backend.list_files_async(backend.prefix)) {
    const std::string_view file = std::string_view(name).substr(backend.prefix.size());
    if (file.find('/') == std::string_view::npos && is_state_file_name(file)) out << name << '\n';
  }
}

Awaitable<void> dump_partition(VeskStateStore& store, PartitionId partition, std::ostream& out) {
  std::optional<PartitionState> state = co_await store.get_partition_state(partition);
  if (!state) {
    throw ValueError("partition " + std::to_string(partition) + " has no stored state (no file " +
                     store.storage_provider->prefix + VeskStateStore::get_partition_state_file_name(partition) + ")");
  }
  out << value_to_json(std::move(*state).to_dict()).dump(2) << '\n';
}

Awaitable<void> write_partition(VeskStateStore& store, PartitionId partition, std::istream& in) {
  Json json;
  try {
    json = Json::parse(in);
  } catch (const Json::parse_error& e) {
    throw ValueError(std::string("bad JSON on standard input: ") + e.what());
  }
  if (!json.is_object()) {
    throw ValueError("the JSON of a state file must be an object with \"partition\", \"offset\" and \"state\"");
  }
  PartitionState state = PartitionState::from_dict(json_to_value(json));
  if (state.partition != partition) {
    throw ValueError("the JSON is the state of partition " + std::to_string(state.partition) +
                     ", not of partition " + std::to_string(partition));
  }
  co_await store.set_partition_state(partition, state);
}

}  // namespace vesk::state_tool

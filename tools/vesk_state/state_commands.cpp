#include "state_commands.hpp"

#include "vesk/config/config.hpp"
#include "vesk/loop/errors.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string_view>

namespace vesk::state_tool {
namespace {

// The partition of a state file name ("p-" + decimal digits + ".state.pkl"), or none.
std::optional<PartitionId> partition_of(std::string_view name) {
  constexpr std::string_view head = "p-", tail = ".state.pkl";
  if (name.size() <= head.size() + tail.size() || name.substr(0, head.size()) != head ||
      name.substr(name.size() - tail.size()) != tail) {
    return std::nullopt;
  }
  std::string_view digits = name.substr(head.size(), name.size() - head.size() - tail.size());
  if (digits.size() > 9) return std::nullopt;
  PartitionId partition = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    partition = partition * 10 + (c - '0');
  }
  return partition;
}

PartitionState state_from_json(std::istream& in) {
  Value value = read_json(in);
  if (!value.is_dict()) {
    throw ValueError("the JSON of a state file must be an object with \"partition\", \"offset\" and \"state\"");
  }
  // Through the record, so that only files the engine can read back get written.
  return PartitionState::from_dict(std::move(value));
}

PartitionState decode(const std::string& contents, const std::string& name) {
  Value value;
  try {
    value = pickle::loads(contents);
  } catch (const pickle::PickleError& e) {
    throw ValueError(name + " is not a readable state file: " + e.what());
  }
  return PartitionState::from_dict(std::move(value));
}

}  // namespace

Storage open_storage(const std::optional<std::string>& state_dir, bool must_exist) {
  if (state_dir) {
    std::filesystem::path dir = state_dir->empty() ? std::filesystem::path(".") : std::filesystem::path(*state_dir);
    std::error_code ec;
    if (must_exist && !std::filesystem::is_directory(dir, ec)) throw ValueError("no such directory: " + dir.string());
    return Storage{std::make_shared<VeskLocalFileBackend>(dir, ""), nullptr, dir};
  }
  const Config env = Config::from_env();
  std::vector<std::string> missing;
  if (env.AZURE_STORAGE_CONNECTION_STRING.empty()) missing.emplace_back("AZURE_STORAGE_CONNECTION_STRING");
  if (env.AZURE_STORAGE_CONTAINER_NAME.empty()) missing.emplace_back("AZURE_STORAGE_CONTAINER_NAME");
  if (!missing.empty()) {
    throw ValueError("blob storage is not configured: set " + missing.front() +
                     (missing.size() > 1 ? " and " + missing.back() : std::string()) + ", or give --state-dir DIR");
  }
  // The tool reports failures itself, on one line; the backend's own log lines would repeat them.
  auto blob = VeskAzureBlobBackend::from_env(null_logger());
  return Storage{blob, blob, std::nullopt};
}

Awaitable<std::vector<std::string>> state_file_names(Storage& storage) {
  std::vector<std::pair<PartitionId, std::string>> found;
  if (storage.directory) {
    for (const auto& entry : std::filesystem::directory_iterator(*storage.directory)) {
      std::string name = entry.path().filename().string();
      if (auto partition = partition_of(name); partition && entry.is_regular_file())
        found.emplace_back(*partition, name);
    }
  } else {
    const std::string& prefix = storage.blob->prefix;
    for (const std::string& name : co_await storage.blob->list_files_async(prefix)) {
      const std::string_view file = std::string_view(name).substr(prefix.size());
      if (auto partition = partition_of(file); partition && file.find('/') == std::string_view::npos) {
        found.emplace_back(*partition, std::string(file));
      }
    }
  }
  // By name, as blob storage lists them.
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<std::string> names;
  names.reserve(found.size());
  for (auto& [partition, name] : found) names.push_back(std::move(name));
  co_return names;
}

Awaitable<void> dump_state(VeskFileBackend& backend, std::string file_path, std::ostream& out) {
  std::optional<std::string> contents = co_await backend.get_file_contents_async(file_path);
  if (!contents) throw ValueError("no such file: " + backend.prefix + file_path);
  Value value;
  try {
    value = pickle::loads(*contents);
  } catch (const pickle::PickleError& e) {
    throw ValueError(std::string("not a readable state file: ") + e.what());
  }
  contents.reset();
  write_json(value, out);
  out << '\n';
}

Awaitable<void> write_state(VeskFileBackend& backend, std::string file_path, std::istream& in) {
  PartitionState state = state_from_json(in);
  std::string bytes = pickle::dumps(std::move(state).to_dict());
  co_await backend.set_file_contents_async(std::move(file_path), std::move(bytes));
}

Awaitable<void> dump_partition(VeskStateStore& store, PartitionId partition, std::ostream& out) {
  std::optional<PartitionState> state = co_await store.get_partition_state(partition);
  if (!state) {
    throw ValueError("partition " + std::to_string(partition) + " has no stored state (no file " +
                     store.storage_provider->prefix + VeskStateStore::get_partition_state_file_name(partition) + ")");
  }
  write_json(std::move(*state).to_dict(), out);
  out << '\n';
}

Awaitable<void> write_partition(VeskStateStore& store, PartitionId partition, std::istream& in) {
  PartitionState state = state_from_json(in);
  if (state.partition != partition) {
    throw ValueError("the JSON is the state of partition " + std::to_string(state.partition) + ", not of partition " +
                     std::to_string(partition));
  }
  co_await store.set_partition_state(partition, state);
}

Awaitable<void> get_key(VeskStateStore& store, PartitionId partition, const std::string& key, std::ostream& out) {
  std::optional<PartitionState> state = co_await store.get_partition_state(partition);
  if (!state) throw ValueError("partition " + std::to_string(partition) + " has no stored state");
  const Value* found = state->state.find_text(key);
  if (found == nullptr) {
    throw ValueError("partition " + std::to_string(partition) + " (offset " + std::to_string(state->offset) +
                     ") holds no state for key " + Value(key).repr());
  }
  write_json(*found, out);
  out << '\n';
}

Awaitable<void> find_key(Storage& storage, const std::string& key, std::ostream& out) {
  std::vector<std::string> names = co_await state_file_names(storage);
  for (const std::string& name : names) {
    std::optional<std::string> contents = co_await storage.backend->get_file_contents_async(name);
    if (!contents) continue;
    PartitionState state = decode(*contents, name);
    if (const Value* found = state.state.find_text(key)) {
      write_json(*found, out);
      out << '\n';
      co_return;
    }
  }
  throw ValueError("no state file holds key " + Value(key).repr() + " (" + std::to_string(names.size()) +
                   " state files searched)");
}

Awaitable<void> print_stats(Storage& storage, std::ostream& out) {
  std::vector<std::string> names = co_await state_file_names(storage);
  char line[256];
  std::snprintf(line, sizeof line, "%-24s %10s %14s %12s %14s\n", "file", "partition", "offset", "keys", "bytes");
  out << line;
  for (const std::string& name : names) {
    std::optional<std::string> contents = co_await storage.backend->get_file_contents_async(name);
    if (!contents) continue;  // removed since it was listed
    PartitionState state = decode(*contents, name);
    std::snprintf(line, sizeof line, "%-24s %10d %14lld %12zu %14zu\n", name.c_str(), state.partition,
                  static_cast<long long>(state.offset), state.state.size(), contents->size());
    out << line;
  }
}

}  // namespace vesk::state_tool

#include "caught_up.hpp"

#include "loop/errors.hpp"
#include "loop/task.hpp"
#include "vesk_state_store/vesk_state_store.hpp"

#include <chrono>
#include <limits>
#include <vector>

namespace vesk::run_tool {

CountingBackend::CountingBackend(std::shared_ptr<VeskFileBackend> inner)
    : VeskFileBackend(inner->prefix), _inner(std::move(inner)) {}

Awaitable<std::optional<std::string>> CountingBackend::get_file_contents_async(std::string file_path) {
  auto read = _inner->get_file_contents_async(std::move(file_path));
  co_return co_await std::move(read);
}

Awaitable<void> CountingBackend::set_file_contents_async(std::string file_path, std::string content) {
  std::string name = file_path;
  auto write = _inner->set_file_contents_async(std::move(file_path), std::move(content));
  co_await std::move(write);
  ++_writes[name];
}

Awaitable<VeskFileBackend::VersionedContents> CountingBackend::get_versioned_file_contents_async(std::string file_path) {
  auto read = _inner->get_versioned_file_contents_async(std::move(file_path));
  co_return co_await std::move(read);
}

Awaitable<VeskFileBackend::ConditionalWrite> CountingBackend::set_file_contents_if_async(
    std::string file_path, std::string content, std::optional<std::string> expected_tag) {
  std::string name = file_path;
  auto write = _inner->set_file_contents_if_async(std::move(file_path), std::move(content), std::move(expected_tag));
  ConditionalWrite written = co_await std::move(write);
  if (written.stored) ++_writes[name];
  co_return written;
}

std::uint64_t CountingBackend::writes(const std::string& file_path) const {
  auto found = _writes.find(file_path);
  return found == _writes.end() ? 0 : found->second;
}

Awaitable<void> until_caught_up(Vesk& engine, const VeskFeed& feed, std::shared_ptr<CountingBackend> backend,
                                Logger logger) {
  struct Progress {
    std::optional<std::int64_t> target;  // the first high watermark known
    std::uint64_t writes_read = std::numeric_limits<std::uint64_t>::max();
    Offset stored = -1;  // offset of the stored state, -1 while none
    std::chrono::steady_clock::time_point retry_at{};  // after a failed read
  };
  // Reads through the same backend, so it sees what the engine's checkpoints wrote.
  VeskStateStore store(backend, null_logger());
  std::map<PartitionId, Progress> progress;
  const auto started = std::chrono::steady_clock::now();
  bool warned = false;
  for (;;) {
    co_await sleep(std::chrono::milliseconds(200));
    const std::vector<PartitionId> partitions = engine.partitions();
    bool done = !partitions.empty();
    bool target_unknown = false;
    for (PartitionId partition : partitions) {
      Progress& p = progress[partition];
      if (!p.target) p.target = feed.high_watermark(partition);
      if (!p.target) {
        done = false;
        target_unknown = true;
        continue;
      }
      const std::string file = VeskStateStore::get_partition_state_file_name(partition);
      const std::uint64_t writes = backend->writes(file);
      if (writes != p.writes_read && std::chrono::steady_clock::now() >= p.retry_at) {
        // A failed read is tried again a few seconds later; the run goes on meanwhile.
        auto read = [](VeskStateStore& store, PartitionId partition, Progress& p, std::uint64_t writes) -> Awaitable<void> {
          auto state = co_await store.get_partition_state(partition);
          p.stored = state ? state->offset : -1;
          p.writes_read = writes;
        };
        auto reading = read(store, partition, p, writes);
        if (auto failure = co_await attempt(std::move(reading))) {
          logger->warn("Cannot read the stored state of partition " + std::to_string(partition) + ": " +
                       error_text(failure) + "; trying again in 5 s");
          p.retry_at = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
      }
      if (p.stored < *p.target) done = false;
    }
    if (done) {
      std::string offsets;
      for (PartitionId partition : partitions) {
        offsets += (offsets.empty() ? "" : ", ") + std::to_string(partition) + ": " + std::to_string(progress[partition].stored);
      }
      logger->info("Caught up: every partition has stored a checkpoint at its high watermark (" + offsets + ")");
      co_return;
    }
    if (target_unknown && !warned && std::chrono::steady_clock::now() - started > std::chrono::seconds(30)) {
      warned = true;
      logger->warn("The source has not reported a high watermark for every partition yet; still waiting");
    }
  }
}

}  // namespace vesk::run_tool

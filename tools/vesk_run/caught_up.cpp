#include "caught_up.hpp"

#include "vesk/loop/event.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk::run_tool {

namespace {

// What the observer has told, kept apart from the watcher's frame so that a call after the
// watcher ended finds it still there.
struct StoredOffsets {
  std::map<PartitionId, Offset> offsets;
  Event changed;
};

}  // namespace

Awaitable<void> until_caught_up(Vesk& engine, const VeskFeed& feed, Logger logger) {
  auto stored = std::make_shared<StoredOffsets>();
  engine.on_checkpoint_stored([stored](PartitionId partition, Offset offset) {
    stored->offsets[partition] = offset;
    stored->changed.set();
  });
  std::map<PartitionId, std::int64_t> targets;  // the first high watermark known
  const auto started = std::chrono::steady_clock::now();
  bool warned = false;
  for (;;) {
    // A checkpoint is looked at at once; partitions and high watermarks a few times a second.
    co_await stored->changed.wait_for(std::chrono::milliseconds(200));
    stored->changed.clear();
    const std::vector<PartitionId> partitions = engine.partitions();
    bool done = !partitions.empty();
    bool target_unknown = false;
    for (PartitionId partition : partitions) {
      auto target = targets.find(partition);
      if (target == targets.end()) {
        if (auto known = feed.high_watermark(partition)) target = targets.emplace(partition, *known).first;
      }
      if (target == targets.end()) {
        done = false;
        target_unknown = true;
        continue;
      }
      auto offset = stored->offsets.find(partition);
      if (offset == stored->offsets.end() || offset->second < target->second) done = false;
    }
    if (done) {
      engine.on_checkpoint_stored(nullptr);
      std::string offsets;
      for (PartitionId partition : partitions) {
        offsets += (offsets.empty() ? "" : ", ") + std::to_string(partition) + ": " +
                   std::to_string(stored->offsets[partition]);
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

#pragma once
// The engine's figures: what each partition has done (kept across its consumer's recreations)
// and a plain snapshot of everything, for an HTTP endpoint or a status line. All of it lives on
// the event-loop thread: counters are plain integers bumped once per batch or checkpoint.

#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vesk {

// Upper bounds, in seconds, of the batch cycle histogram's buckets (a last one holds the rest).
inline constexpr std::array<double, 14> batch_cycle_bucket_bounds{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                                  0.025,  0.05,    0.1,    0.25,  0.5,    1.0,   2.5};

// Batch cycle times: counts per bucket (not cumulative) and their sum.
struct CycleHistogram {
  std::array<std::uint64_t, batch_cycle_bucket_bounds.size() + 1> counts{};
  double sum_seconds = 0.0;

  void observe(double seconds) noexcept;
  std::uint64_t count() const noexcept;
};

// One partition's figures, updated by its consumers on the loop thread.
struct PartitionMetrics {
  using Clock = std::chrono::steady_clock;

  std::uint64_t messages_processed = 0;
  std::uint64_t batches = 0;
  CycleHistogram batch_cycle;
  std::optional<Offset> offset;         // of the next message to read, in memory
  std::optional<Offset> stored_offset;  // of the last stored (or restored) state
  std::optional<std::size_t> checkpoint_keys;
  std::optional<double> checkpoint_collection_seconds;
  std::optional<double> checkpoint_save_seconds;
  std::optional<double> checkpoint_total_seconds;
  std::optional<Clock::time_point> stored_at;    // the last checkpoint stored, or the state restored
  std::optional<Clock::time_point> progress_at;  // the last batch taken or drained, or the consumer ready
  std::uint64_t checkpoint_failures = 0;
  std::uint64_t consumer_recreations = 0;
  std::uint64_t worker_exits = 0;

  void record_batch(std::size_t messages, Offset next_offset, double cycle_seconds, Clock::time_point now) noexcept {
    messages_processed += messages;
    ++batches;
    batch_cycle.observe(cycle_seconds);
    offset = next_offset;
    progress_at = now;
  }
};

// Everything about one assigned partition at one moment.
struct PartitionSnapshot {
  PartitionId partition = 0;
  // A consumer runs for it (none while it waits to be built again).
  bool consumer_live = false;
  PartitionMetrics metrics;
  std::optional<std::int64_t> high_watermark;  // as the source knows it
  std::optional<std::int64_t> lag;             // high watermark minus the offset in memory, at least 0
  std::optional<double> seconds_since_checkpoint;
  std::optional<double> seconds_since_progress;
};

// The engine at one moment; a plain value that any thread may read.
struct MetricsSnapshot {
  enum class EngineState { stopped = 1, connecting = 2, consuming = 3 };
  EngineState state = EngineState::stopped;
  std::uint64_t rebalances = 0;
  std::vector<PartitionSnapshot> partitions;  // the assigned ones, in assignment order
  std::optional<SourceHealth> source;         // as the source reports it, when it does
};

}  // namespace vesk

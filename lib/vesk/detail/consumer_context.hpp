#pragma once
// What the parts of a partition consumer share: the partition, its logger, loop and figures, and
// the handshake that keeps batch cycles and collections off each other's channels.

#include "vesk/loop/event.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/metrics.hpp"
#include "vesk/models/partition_state.hpp"

#include <functional>
#include <memory>
#include <type_traits>

namespace vesk::detail {

struct ConsumerContext {
  PartitionId partition = 0;
  Logger logger;
  EventLoop* loop = nullptr;
  // The partition's figures, shared with the engine; none when metrics are off. Set before the
  // tasks first run.
  std::shared_ptr<PartitionMetrics> metrics;
  // The engine's observer of stored offsets; none for a consumer built on its own.
  std::shared_ptr<const std::function<void(PartitionId, Offset)>> checkpoint_observer;
  // A reference to the consumer, for tasks and off-loop jobs that must keep it alive. Called
  // only once the consumer's owning shared_ptr exists (from a task's first run on).
  std::function<std::shared_ptr<const void>()> hold;

  // Tells the observer, if any, that the partition's state up to `offset` is stored.
  void offset_stored(Offset offset) const {
    if (checkpoint_observer && *checkpoint_observer) (*checkpoint_observer)(partition, offset);
  }
  // Starts `body` on the loop as a task that holds the consumer while it runs.
  Task<void> spawn(Awaitable<void> body) const;
};

// Runs `job` where the size says: inline, or on the blocking pool (the caller then resumes on
// the loop). Either way the result is the job's. Work on state maps moves off the loop once it is
// big enough to hold up the other partitions' batches for milliseconds (about 1 ms per 10,000
// entries here).
template <class Job>
Awaitable<std::invoke_result_t<Job&>> inline_or_off_loop(bool off_loop, Job job) {
  if (off_loop) co_return co_await run_blocking(std::move(job));
  co_return job();
}

// The two flags of the handshake (owned by the consumer), with events that a waiter sleeps on,
// so that it wakes the moment a flag changes.
class Handshake {
 public:
  Handshake(bool& all_workers_drained, bool& checkpoint_running);
  Handshake(const Handshake&) = delete;
  Handshake& operator=(const Handshake&) = delete;

  void set_all_workers_drained(bool drained);
  void set_checkpoint_running(bool running);
  // Every worker has been sent its initial state map: collections may begin, since a worker
  // must receive that map before anything else.
  void set_initial_state_sent();
  bool initial_state_sent() const noexcept { return _initial_state_sent; }
  bool checkpoint_running() const noexcept { return _checkpoint_running; }

  // Returns once the batch cycle has drained and the initial state maps are out.
  Awaitable<void> wait_collection_allowed();
  // Returns once no checkpoint runs.
  Awaitable<void> wait_no_checkpoint();

  // Set by release(): the run loop takes no further batch.
  bool releasing = false;

 private:
  void _update();

  bool& _all_workers_drained;
  bool& _checkpoint_running;
  bool _initial_state_sent = false;
  Event _collection_allowed;
  Event _no_checkpoint_running;
};

}  // namespace vesk::detail

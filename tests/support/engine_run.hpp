#pragma once
// Running the whole engine in end-to-end tests until its checkpoints reach an offset, and the
// line that shows an engine started again resumed from them.

#include "stored_offsets.hpp"
#include "vesk/vesk.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace vesk::testing {

struct EngineRun {
  EngineRun(Logger logger, std::shared_ptr<VeskFileBackend> backend, VeskStateStore& store, int partitions,
            int workers = 2)
      : logger(std::move(logger)),
        backend(std::move(backend)),
        store(store),
        partitions(partitions),
        workers(workers) {}

  Logger logger;
  std::shared_ptr<VeskFileBackend> backend;
  VeskStateStore& store;  // reads what the engine's checkpoints wrote
  int partitions;
  int workers;
  std::chrono::milliseconds checkpoint_interval{200};
  std::chrono::seconds limit{60};
  // Runs before the engine starts.
  std::function<void(Vesk&)> before_start;
  // Runs once the offsets are reached, before the engine stops.
  std::function<void(const Vesk&)> before_stop;
};

// Runs an engine over `feed` with `handler` until every partition has `offset` stored, then
// stops the engine and the feed. False when the offsets were not reached within the limit.
inline Awaitable<bool> run_engine_until(const EngineRun& run, std::shared_ptr<VeskFeed> feed,
                                        std::shared_ptr<StreamHandlerBase> handler, Offset offset) {
  Vesk engine(run.logger, run.backend, run.workers, run.checkpoint_interval);
  engine.source(feed).process(std::move(handler));
  if (run.before_start) run.before_start(engine);
  engine.start();
  const bool reached = co_await stored_offsets_reach(run.store, run.partitions, offset, run.limit);
  if (reached && run.before_stop) run.before_stop(engine);
  co_await engine.stop();
  co_await feed->stop();
  co_return reached;
}

// What a partition consumer logs when it resumes from a state stored at `offset`.
inline std::string resume_line(PartitionId partition, Offset offset) {
  return "State found for partition " + std::to_string(partition) + ", starting from offset " + std::to_string(offset);
}

}  // namespace vesk::testing

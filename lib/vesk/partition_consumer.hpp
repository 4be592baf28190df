#pragma once
// Vesk::PartitionConsumer: consumes one partition with a fixed pool of worker processes. Its
// run task restores the stored state, hands every worker its keys, then reads batches, routes
// each message to the worker its key maps to and waits until every worker has drained. Its
// checkpoint task periodically collects the workers' key states and stores them with the offset
// of the next message to read.
//
// No wait on a worker is unbounded: a worker that ends, a channel that fails, or a worker that
// never connects fails the consumer (its run task ends with an error naming the worker), so that
// the engine replaces it from its last checkpoint. A worker that is merely slow is named in a
// warning every slow-worker interval while it is waited for.
//
// The consumer owns three parts and the state they share: the worker pool (processes, channels,
// faults), the batch cycle (seek, read, route, drain) and the checkpointer (restore, collect,
// merge, store). Its steps forward to the part that does them.

#include "vesk/channel/channel.hpp"
#include "vesk/vesk.hpp"
#include "vesk/worker_process.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace vesk {

namespace detail {
struct ConsumerContext;
class Handshake;
class WorkerPool;
class BatchCycle;
class Checkpointer;
struct CollectedKeyStates;
}  // namespace detail

class Vesk::PartitionConsumer : public std::enable_shared_from_this<PartitionConsumer> {
 public:
  // One worker: its process, the future of its accepted channel, and its listener.
  struct WorkerProcessRef {
    std::shared_ptr<WorkerProcess> process;
    Task<std::shared_ptr<ChannelConnection>> conn_future;
    std::shared_ptr<ChannelListener> listener;
  };
  // What the workers of one checkpoint answered (see detail/checkpointer.hpp).
  using CollectedKeyStates = detail::CollectedKeyStates;

  // Starts the worker processes and both tasks; must run on the event-loop thread. Create it
  // with std::make_shared: its tasks keep it alive until dispose() ends them. A
  // `workers_per_partition` below 1 is a ValueError before anything starts.
  PartitionConsumer(PartitionId partition, std::shared_ptr<VeskFeed> source, std::shared_ptr<VeskStateStore> storage,
                    Logger logger, int workers_per_partition, std::chrono::steady_clock::duration checkpoint_interval,
                    std::shared_ptr<StreamHandlerBase> stream_handler = nullptr);
  ~PartitionConsumer();
  PartitionConsumer(const PartitionConsumer&) = delete;
  PartitionConsumer& operator=(const PartitionConsumer&) = delete;

  // Cancels both tasks, kills the workers, closes the listeners and, once accepted, the
  // channels. Never fails; later calls do nothing.
  void dispose();
  bool disposed() const noexcept { return _disposed; }
  // Lets the partition go in good order: the batch in flight ends, no other starts, one last
  // checkpoint is stored, then the consumer is disposed. Never fails: when the checkpoint fails
  // or takes longer than `deadline`, one warning names the partition and the consumer is
  // disposed all the same (its last periodic checkpoint stands).
  Awaitable<void> release(std::chrono::steady_clock::duration deadline);
  // Awaits the channel and closes it; every error is ignored.
  static Awaitable<void> close_conn_future(Task<std::shared_ptr<ChannelConnection>> conn_future);

  // Set by the engine before the tasks first run: how long a started worker may take to connect
  // (counted from construction), how often a worker that keeps a drain or a collection waiting
  // is named, the partition's figures, shared with the engine (none when metrics are off), and
  // the engine's observer of stored offsets.
  void configure(std::chrono::steady_clock::duration worker_connect_timeout,
                 std::chrono::steady_clock::duration slow_worker_warning_interval,
                 std::shared_ptr<PartitionMetrics> metrics,
                 std::shared_ptr<const CheckpointObserver> checkpoint_observer = nullptr);
  const std::shared_ptr<PartitionMetrics>& metrics() const noexcept;
  // What the engine's watcher weighs after a failure: a consumer that stored a checkpoint or
  // ran for `healthy_after` was healthy, and is replaced at once.
  bool was_healthy(std::chrono::steady_clock::duration healthy_after) const;
  // Whether every worker has been sent its initial state map; no collection starts before.
  bool handed_over() const noexcept;

  // Steps of the two tasks, public so that tests can drive and observe them.
  void _create_worker_processes();
  Awaitable<void> _run();
  Awaitable<void> _distribute_messages(const std::vector<Message>& messages);
  Awaitable<void> _collect_all_workers_drained();
  Awaitable<void> _wait_all_workers_drained();

  Awaitable<void> _checkpoint_loop();
  Awaitable<void> _do_checkpoint();
  Awaitable<CollectedKeyStates> _collect_key_states();
  // Collects the states of worker `worker` into `key_states`.
  Awaitable<void> collect_key_states_from_worker(std::size_t worker, std::shared_ptr<CollectedKeyStates> key_states);
  Awaitable<void> wait_for_checkpoint_task();
  Awaitable<PartitionState> get_partition_state_from_storage();
  Awaitable<void> distribute_state_to_workers(const PartitionState& state);

  PartitionId _partition = 0;
  std::shared_ptr<VeskFeed> _source;
  std::shared_ptr<VeskStateStore> _storage;
  Logger _logger;
  Task<void> _task;
  int _workers_per_partition = 0;
  std::chrono::steady_clock::duration _checkpoint_interval{};
  bool _is_checkpoint_task_running = false;
  bool _all_workers_drained = true;
  std::optional<PartitionState> _state;
  Task<void> _checkpoint_task;
  std::vector<WorkerProcessRef> _worker_processes;
  std::shared_ptr<StreamHandlerBase> _stream_handler;

 private:
  // The body of `_task`: the run loop, ended early by a fault.
  Awaitable<void> _run_until_fault();
  // The checkpoint of release(), once the periodic one in flight (if any) has ended; false when
  // there is nothing to store, since the consumer never got to its first batch.
  Awaitable<bool> _final_checkpoint();

  std::unique_ptr<detail::ConsumerContext> _context;
  std::unique_ptr<detail::Handshake> _handshake;
  std::unique_ptr<detail::WorkerPool> _pool;
  std::unique_ptr<detail::BatchCycle> _batches;
  std::unique_ptr<detail::Checkpointer> _checkpointer;
  bool _disposed = false;
};

}  // namespace vesk

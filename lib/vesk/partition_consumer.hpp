#pragma once
// Vesk::PartitionConsumer: consumes one partition with a fixed pool of worker processes. Its
// run task restores the stored state, hands every worker its keys, then reads batches, routes
// each message to the worker its key maps to and waits until every worker has drained. Its
// checkpoint task periodically collects the workers' key states and stores them with the offset
// of the next message to read.

#include "channel/channel.hpp"
#include "vesk/vesk.hpp"
#include "vesk/worker_process.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace vesk {

class Vesk::PartitionConsumer : public std::enable_shared_from_this<PartitionConsumer> {
 public:
  // One worker: its process, the future of its accepted channel, and its listener.
  struct WorkerProcessRef {
    std::shared_ptr<WorkerProcess> process;
    Task<std::shared_ptr<ChannelConnection>> conn_future;
    std::shared_ptr<ChannelListener> listener;
  };

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
  // Awaits the channel and closes it; every error is ignored.
  static Awaitable<void> close_conn_future(Task<std::shared_ptr<ChannelConnection>> conn_future);

  // Steps of the two tasks, public so that tests can drive and observe them.
  void _create_worker_processes();
  Awaitable<void> _run();
  Awaitable<void> _distribute_messages(const std::vector<Message>& messages);
  Awaitable<void> _collect_all_workers_drained();
  Awaitable<void> _wait_all_workers_drained();

  Awaitable<void> _checkpoint_loop();
  Awaitable<void> _do_checkpoint();
  Awaitable<Dict> _collect_key_states();
  // The states collected from the workers of one checkpoint.
  struct CollectedKeyStates {
    Dict states;
  };
  // Collects the states of one of `workers` workers into `key_states`.
  static Awaitable<void> collect_key_states_from_worker(WorkerProcessRef process,
                                                        std::shared_ptr<CollectedKeyStates> key_states,
                                                        int workers);
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
  // Set once every worker has been sent its initial state map: collections wait for it, since
  // a worker must receive that map before anything else.
  bool _initial_state_sent = false;
  bool _disposed = false;

  // Both flags are polled at this pace.
  static constexpr std::chrono::milliseconds poll_interval{500};

 private:
  // Runs `body` holding a reference to the consumer, taken when the task first runs (after the
  // constructor has returned to the loop, so the owning shared_ptr exists by then).
  static Awaitable<void> _keep_alive(PartitionConsumer* self, Awaitable<void> body);

  EventLoop* _loop = nullptr;
};

}  // namespace vesk

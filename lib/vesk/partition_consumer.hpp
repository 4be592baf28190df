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
// warning every `_slow_worker_warning_interval` while it is waited for.

#include "channel/channel.hpp"
#include "loop/event.hpp"
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
  // Lets the partition go in good order: the batch in flight ends, no other starts, one last
  // checkpoint is stored, then the consumer is disposed. Never fails: when the checkpoint fails
  // or takes longer than `deadline`, one warning names the partition and the consumer is
  // disposed all the same (its last periodic checkpoint stands).
  Awaitable<void> release(std::chrono::steady_clock::duration deadline);
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
  // The checkpoint of release(), once the periodic one in flight (if any) has ended; false when
  // there is nothing to store, since the consumer never got to its first batch.
  Awaitable<bool> _final_checkpoint();
  // What the workers of one checkpoint answered. A worker answers with its whole state map, or
  // with what changed since its last answer (its hand-over first): the changes are read straight
  // into `_state` as soon as they arrive, so that none is lost when another worker's answer
  // fails. Answers are read one at a time, since changes all go into the same map.
  struct CollectedKeyStates {
    // The whole maps, merged.
    Dict states;
    // Which workers answered with their whole map.
    std::vector<bool> whole;
    // Keys changed or removed by the answers with changes.
    std::size_t changes = 0;
    // Set while no answer is being read. Shared, so that the struct can be moved out.
    std::shared_ptr<Event> reader_idle = [] {
      auto idle = std::make_shared<Event>();
      idle->set();
      return idle;
    }();
  };
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
  // Set once every worker has been sent its initial state map: collections wait for it, since
  // a worker must receive that map before anything else.
  bool _initial_state_sent = false;
  bool _disposed = false;
  // The offset of the state last stored (restored, fresh or checkpointed); none before that.
  std::optional<Offset> _stored_offset;
  // Set when collected changes are in `_state` but not yet stored.
  bool _unsaved_changes = false;
  // The version of the state file that this consumer restored or last wrote (none: there was no
  // file). A checkpoint is stored only over that version, so that a consumer whose partition has
  // moved on to another owner cannot put an older offset back.
  std::optional<std::string> _file_tag;
  // Set by release(): the run loop takes no further batch.
  bool _releasing = false;
  // How long the last checkpoint's save took.
  double _last_save_seconds = 0;

  // Limits on waiting for workers; the engine sets them before the tasks first run.
  std::chrono::steady_clock::duration _worker_connect_timeout = std::chrono::seconds(120);
  std::chrono::steady_clock::duration _slow_worker_warning_interval = std::chrono::seconds(30);
  // What the engine's watcher weighs after a failure: a consumer that stored a checkpoint or
  // ran for `healthy_after` was healthy, and is replaced at once.
  int _checkpoints_stored = 0;
  std::chrono::steady_clock::time_point _created_at;
  bool _was_healthy(std::chrono::steady_clock::duration healthy_after) const;
  // The partition's figures, shared with the engine; none when metrics are off. Set before the
  // tasks first run.
  std::shared_ptr<PartitionMetrics> _metrics;
  // The engine's observer of stored checkpoints; none for a consumer built on its own.
  std::shared_ptr<const CheckpointObserver> _checkpoint_observer;

  // The worker channel, awaiting the worker's connection until `_worker_connect_timeout` after
  // construction at most.
  Awaitable<std::shared_ptr<ChannelConnection>> _connection(std::size_t worker);
  // "worker 1 (pid 4242)"
  std::string _describe_worker(std::size_t worker) const;
  // Ends the consumer with `fault`, unless an earlier fault already did.
  void _raise_fault(std::exception_ptr fault);

  // The two flags change only through these, which wake the task waiting for the change.
  void _set_all_workers_drained(bool drained);
  void _set_checkpoint_task_running(bool running);

 private:
  // Runs `body` holding a reference to the consumer, taken when the task first runs (after the
  // constructor has returned to the loop, so the owning shared_ptr exists by then).
  static Awaitable<void> _keep_alive(PartitionConsumer* self, Awaitable<void> body);
  // The body of `_task`: the run loop, ended early by a fault.
  Awaitable<void> _run_until_fault();
  // Awaits `work` until it ends or the consumer faults, whichever comes first; a fault or a
  // cancellation cancels the work and is raised here.
  Awaitable<void> _until_fault(Task<void>& work);
  // Raises a fault when the worker ends.
  Awaitable<void> _watch_worker(std::size_t worker);
  // Warns about workers that have kept a drain or a collection waiting too long.
  Awaitable<void> _watch_slow_workers();
  // After a failed exchange: retires the worker's channel, gives the worker a moment to show
  // whether it has ended (that fault then names its exit), and fails with the channel's error.
  Awaitable<void> _fail_worker_channel(std::size_t worker, std::exception_ptr error);
  void _retire_channel(std::size_t worker) noexcept;
  // Reads one worker's encoded answer: changes go into `_state`, a whole map into `key_states`.
  Awaitable<void> _read_collection_answer(std::size_t worker, std::string encoded, CollectedKeyStates& key_states);
  // Mends `_state` with the whole maps that some (not all) workers answered with.
  void _replace_whole_answers(CollectedKeyStates& collected);
  void _begin_wait(std::size_t worker, const char* what);
  void _end_wait(std::size_t worker) noexcept;

  void _update_handshake_events();
  // Mirrors of the flags that a waiter can sleep on: set while a collection may start (the
  // batch cycle has drained and the initial state maps are out), and while no checkpoint runs.
  Event _collection_allowed;
  Event _no_checkpoint_running;

  EventLoop* _loop = nullptr;
  struct Fault {
    Event raised;
    std::exception_ptr error;
  };
  std::shared_ptr<Fault> _fault = std::make_shared<Fault>();
  // Ends with the fault once one is raised; raced against the run and each checkpoint.
  Task<void> _fault_task;
  std::vector<Task<void>> _worker_watches;
  Task<void> _slow_worker_watch;
  // A drain or collection that waits on a worker: since when, and how many warnings it got.
  struct Wait {
    std::chrono::steady_clock::time_point since;
    const char* what = "";
    int warnings = 0;
  };
  std::vector<std::optional<Wait>> _waits;
};

}  // namespace vesk

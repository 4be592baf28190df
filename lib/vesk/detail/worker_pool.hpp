#pragma once
// The worker pool of a partition consumer: one worker process per index, each with its own
// listener and channel. Every way a worker can fail (it ends, its channel fails, it never
// connects) becomes the pool's one fault, which ends the consumer; a worker that keeps a drain
// or a collection waiting is named in a warning every `slow_worker_warning_interval`.

#include "vesk/detail/consumer_context.hpp"
#include "vesk/partition_consumer.hpp"
#include "vesk/partitioner/default_partitioner.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vesk::detail {

class WorkerPool {
 public:
  using WorkerProcessRef = Vesk::PartitionConsumer::WorkerProcessRef;
  using Connection = std::shared_ptr<ChannelConnection>;

  // Keeps the workers in `workers`, which the consumer owns.
  WorkerPool(const ConsumerContext& context, std::vector<WorkerProcessRef>& workers);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Limits on waiting for workers; set before the tasks first run.
  std::chrono::steady_clock::duration worker_connect_timeout = std::chrono::seconds(120);
  std::chrono::steady_clock::duration slow_worker_warning_interval = std::chrono::seconds(30);

  // Starts `count` workers that load the handler at `handler_path` (none when empty), then the
  // watches on them.
  void start(int count, const std::string& handler_path);
  // Ends the watches, kills the workers, closes the listeners and, once accepted, the channels.
  void dispose();

  std::size_t size() const noexcept { return _workers.size(); }
  std::chrono::steady_clock::time_point created_at() const noexcept { return _created_at; }
  // Maps a key to the index of its worker; one is built for every batch and for the restore.
  DefaultPartitioner partitioner() const;
  // "worker 1 (pid 4242)"
  std::string describe(std::size_t worker) const;

  // The worker's channel, awaiting its connection until `worker_connect_timeout` after the pool
  // was made at most.
  Awaitable<Connection> connection(std::size_t worker);
  // After a failed exchange: retires the worker's channel, gives the worker a moment to show
  // whether it has ended (that fault then names its exit), and fails with the pool's fault.
  Awaitable<void> fail_channel(std::size_t worker, std::exception_ptr error);
  // Closes the worker's channel for good: a socket that failed once can leave later writes
  // waiting for ever.
  void retire_channel(std::size_t worker) noexcept;

  // Ends the consumer with `fault`, unless an earlier fault already did.
  void raise_fault(std::exception_ptr fault);
  // The fault raised; null while there is none.
  const std::exception_ptr& fault() const noexcept { return _fault->error; }
  // Awaits `work` until it ends or the pool faults, whichever comes first; a fault or a
  // cancellation cancels the work and is raised here.
  Awaitable<void> until_fault(Task<void>& work);

  // A drain or a collection waits on the worker from now on, until end_wait(); the slow-worker
  // watch names it meanwhile. `what` is "drain" or "collection".
  void begin_wait(std::size_t worker, const char* what);
  void end_wait(std::size_t worker) noexcept;
  // Ends the worker's wait when it goes out of scope, however the wait ended.
  struct WaitEnd {
    WorkerPool& pool;
    std::size_t worker;
    ~WaitEnd() { pool.end_wait(worker); }
  };

 private:
  struct Fault {
    Event raised;
    std::exception_ptr error;
  };
  // A drain or collection that waits on a worker: since when, and how many warnings it got.
  struct Wait {
    std::chrono::steady_clock::time_point since;
    const char* what = "";
    int warnings = 0;
  };

  static Awaitable<void> _fault_body(std::shared_ptr<Fault> fault);
  void _create_worker_processes(int count, const std::string& handler_path);
  // Raises a fault when the worker ends.
  Awaitable<void> _watch_worker(std::size_t worker);
  // Warns about workers that have kept a drain or a collection waiting too long.
  Awaitable<void> _watch_slow_workers();
  void _warn_slow(std::size_t worker, const Wait& wait, double waited) const;

  const ConsumerContext& _context;
  std::vector<WorkerProcessRef>& _workers;
  std::chrono::steady_clock::time_point _created_at;
  std::shared_ptr<Fault> _fault = std::make_shared<Fault>();
  // Ends with the fault once one is raised; raced against the run and each checkpoint.
  Task<void> _fault_task;
  std::vector<Task<void>> _worker_watches;
  Task<void> _slow_worker_watch;
  std::vector<std::optional<Wait>> _waits;
};

}  // namespace vesk::detail

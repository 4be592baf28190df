#pragma once
// Vesk: the engine a host application creates to run a stream. It wires its assignment listener
// into the source, connects the source (retrying every second), and keeps one PartitionConsumer
// per partition that the source reports.
//
//   vesk::Vesk engine(logger, backend, /*workers_per_partition=*/2, std::chrono::seconds(30));
//   engine.source(feed).process(handler);
//   engine.start();            // on the event-loop thread
//   ...
//   co_await engine.stop();    // the host stops the source itself
//
// Destroy the engine on the loop's thread, before the loop itself.

#include "vesk/loop/event.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/metrics.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/ordered_map.hpp"
#include "vesk/stream_handler/stream_handler.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"
#include "vesk/vesk_rebalance_listener/vesk_rebalance_listener.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace vesk {

// The delay before each further attempt at building a partition's consumer: 1 s, doubling up to
// 60 s, each with up to 20% of jitter either way (never above 60 s).
struct RecreationBackoff {
  double next_seconds = 1.0;
  double take();
  void reset() noexcept { next_seconds = 1.0; }
};

class Vesk {
 public:
  enum class State { STOPPED = 1, CONNECTING = 2, CONSUMING = 3 };
  class AssignmentListener;
  class PartitionConsumer;

  // `workers_per_partition` below 1 and a checkpoint interval that is not positive are refused
  // with a ValueError.
  Vesk(Logger logger, std::shared_ptr<VeskFileBackend> storage_provider, int workers_per_partition,
       std::chrono::steady_clock::duration checkpoint_interval);
  template <class Rep, class Period>
  Vesk(Logger logger, std::shared_ptr<VeskFileBackend> storage_provider, int workers_per_partition,
       std::chrono::duration<Rep, Period> checkpoint_interval)
      : Vesk(std::move(logger), std::move(storage_provider), workers_per_partition,
             std::chrono::duration_cast<std::chrono::steady_clock::duration>(checkpoint_interval)) {}
  // Leaves no listener that could reach the engine and disposes every partition consumer.
  ~Vesk();
  Vesk(const Vesk&) = delete;
  Vesk& operator=(const Vesk&) = delete;

  // Keeps the source and gives it a new assignment listener bound to this engine.
  Vesk& source(std::shared_ptr<VeskFeed> source);
  // Keeps the handler; partition consumers pass its module path to their workers.
  Vesk& process(std::shared_ptr<StreamHandlerBase> stream_handler);
  // Begins connecting in the background. Must run on the event-loop thread.
  void start();
  // Releases every partition (each stores a last checkpoint, all at once, each within
  // `release_deadline`), then cancels the connect loop. The source keeps running: the host stops
  // it afterwards.
  Awaitable<void> stop();
  // Lets the partitions go in good order: each consumer ends its batch in flight and stores one
  // last checkpoint, all at once, each within `release_deadline`; then they are disposed.
  Awaitable<void> release_partitions(std::vector<PartitionId> partitions);
  // How long a released partition may take to store its last checkpoint before it is let go
  // without it. Keep it well under the Kafka client's max.poll.interval.ms (300 s by default),
  // within which the group waits for the partitions.
  std::chrono::steady_clock::duration release_deadline = std::chrono::seconds(10);
  // Disposes and forgets the consumer of the partition, if there is one, and ends a pending
  // recreation of it.
  void stop_partition_consumer(PartitionId partition);
  void stop_all_partition_consumers();
  // The partitions that have a consumer now, in the order they were assigned (read-only).
  std::vector<PartitionId> partitions() const { return _partition_consumers.keys(); }
  // Every assigned partition's figures and the engine's own, as a plain value. On the loop
  // thread; it only copies numbers and asks the source for its high watermarks.
  MetricsSnapshot metrics() const;
  // Called on the loop thread each time a partition's checkpoint is stored, and once a consumer
  // has the stored state it starts from, with the partition and the offset of the next message
  // the stored state holds: for tools that watch the engine's progress rather than its logs or
  // files. Replaces the one set before; an empty one stops the calls. An exception it throws is
  // logged and does not touch the checkpoint.
  using CheckpointObserver = std::function<void(PartitionId partition, Offset offset)>;
  void on_checkpoint_stored(CheckpointObserver observer);
  // Whether consumers built from now on keep figures (the default). Off only to measure what
  // keeping them costs.
  void set_metrics_enabled(bool enabled) noexcept { _metrics_enabled = enabled; }

  // Internal steps, public so that tests can observe them.
  void _cancel_state_task();
  Awaitable<void> _run();
  Awaitable<void> _connect();

  State _state = State::STOPPED;
  Task<void> _state_task;  // an empty handle until the first start()
  Logger _logger;
  OrderedMap<PartitionId, std::shared_ptr<PartitionConsumer>> _partition_consumers;
  std::shared_ptr<VeskStateStore> _storage;
  std::shared_ptr<VeskFeed> _source;
  std::shared_ptr<StreamHandlerBase> _stream_handler;
  int _workers_per_partition;
  std::chrono::steady_clock::duration _checkpoint_interval;
  // Partitions whose consumer failed or could not be built and waits to be built again; setting
  // the event ends the wait early (revocation, reassignment, stop).
  OrderedMap<PartitionId, std::shared_ptr<Event>> _recreations;
  // Forgets a pending recreation of the partition and wakes it, so that it ends.
  void _end_recreation(PartitionId partition);
  // Limits given to every new partition consumer: how long a started worker may take to
  // connect, and how often a worker that keeps a drain or a collection waiting is named.
  std::chrono::steady_clock::duration _worker_connect_timeout = std::chrono::seconds(120);
  std::chrono::steady_clock::duration _slow_worker_warning_interval = std::chrono::seconds(30);
  // A failed consumer that ran this long (or stored a checkpoint) was healthy: it is replaced at
  // once. Others are replaced after a back-off of 1 s, doubling up to 60 s, with jitter.
  static constexpr std::chrono::seconds healthy_after{60};
  // Per partition, kept across its consumers and assignments so that counters only grow.
  std::map<PartitionId, std::shared_ptr<PartitionMetrics>> _metrics;
  std::uint64_t _rebalances = 0;
  bool _metrics_enabled = true;
  // Shared with every consumer, so that an observer set at any time reaches them all.
  std::shared_ptr<CheckpointObserver> _checkpoint_observer = std::make_shared<CheckpointObserver>();
  // The partition's figures, made on first use; none while metrics are off.
  std::shared_ptr<PartitionMetrics> _partition_metrics(PartitionId partition);

 private:
  // Every listener handed to a source, so that the destructor can unbind them all.
  std::vector<std::shared_ptr<AssignmentListener>> _listeners;
  // False once the engine is destroyed; the connect loop checks it after every suspension.
  std::shared_ptr<bool> _alive = std::make_shared<bool>(true);
};

// The engine's listener on its source: released partitions store a last checkpoint and lose
// their consumer, revoked (lost) ones lose it at once, assigned ones get a fresh one with a watcher task that replaces
// it if its run task fails.
class Vesk::AssignmentListener : public VeskRebalanceListener, public std::enable_shared_from_this<AssignmentListener> {
 public:
  explicit AssignmentListener(Vesk* vesk);

  void on_partitions_revoked(const std::vector<PartitionId>& revoked) override;
  void on_partitions_assigned(const std::vector<PartitionId>& assigned) override;
  Awaitable<void> release_partitions(const std::vector<PartitionId>& revoked) override;

  using Backoff = RecreationBackoff;

  // The watcher: awaits the consumer's run task and, when that task fails while its partition
  // is still in the engine's map, replaces the consumer: at once when it had been healthy,
  // otherwise after the back-off.
  Awaitable<void> _recreate_partition_consumer_on_error(std::shared_ptr<PartitionConsumer> consumer,
                                                        Backoff backoff = {});

  // The engine; null once the engine is gone, after which every call does nothing.
  Vesk* _vesk;

 private:
  std::shared_ptr<PartitionConsumer> _create_partition_consumer(PartitionId partition);
  void _start_watcher(EventLoop& loop, std::shared_ptr<PartitionConsumer> consumer, Backoff backoff);
  // Marks the partition as waiting for a new consumer; the returned event ends the wait.
  std::shared_ptr<Event> _register_recreation(PartitionId partition);
  // Builds the partition's consumer, retrying on the back-off while the partition is assigned.
  Awaitable<void> _recreate_partition_consumer(PartitionId partition, Backoff backoff, bool immediately,
                                               std::shared_ptr<Event> wake);
};

}  // namespace vesk

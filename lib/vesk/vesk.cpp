#include "vesk/vesk.hpp"

#include "vesk/detail/checkpoint_texts.hpp"
#include "vesk/loop/errors.hpp"
#include "vesk/partition_consumer.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

namespace vesk {
namespace {

int checked_workers(int workers_per_partition) {
  if (workers_per_partition < 1) {
    throw ValueError("workers_per_partition must be at least 1, got " + std::to_string(workers_per_partition));
  }
  return workers_per_partition;
}

std::chrono::steady_clock::duration checked_interval(std::chrono::steady_clock::duration interval) {
  if (interval <= std::chrono::steady_clock::duration::zero()) {
    throw ValueError("checkpoint_interval must be positive, got " +
                     std::to_string(std::chrono::duration<double>(interval).count()) + " s");
  }
  return interval;
}

}  // namespace

Vesk::Vesk(Logger logger, std::shared_ptr<VeskFileBackend> storage_provider, int workers_per_partition,
           std::chrono::steady_clock::duration checkpoint_interval)
    : _logger(std::move(logger)),
      _storage(std::make_shared<VeskStateStore>(std::move(storage_provider), _logger)),
      _workers_per_partition(checked_workers(workers_per_partition)),
      _checkpoint_interval(checked_interval(checkpoint_interval)) {
  if (_storage->storage_provider && !_storage->storage_provider->has_conditional_writes()) {
    _logger->warn(
        "The state backend has no conditional writes: a checkpoint still in flight when its partition "
        "moves to another host can overwrite that host's newer one");
  }
}

Vesk::~Vesk() {
  *_alive = false;
  for (auto& listener : _listeners) listener->_vesk = nullptr;
  _cancel_state_task();
  for (auto& [partition, consumer] : _partition_consumers) consumer->dispose();
  _partition_consumers.clear();
  // Pending recreations wake up, find no engine and end.
  auto recreations = std::move(_recreations);
  for (auto& [partition, wake] : recreations) wake->set();
}

Vesk& Vesk::source(std::shared_ptr<VeskFeed> source) {
  _source = std::move(source);
  auto listener = std::make_shared<AssignmentListener>(this);
  _listeners.push_back(listener);
  if (_source) _source->set_listener(listener);
  return *this;
}

Vesk& Vesk::process(std::shared_ptr<StreamHandlerBase> stream_handler) {
  _stream_handler = std::move(stream_handler);
  return *this;
}

void Vesk::start() {
  auto& loop = EventLoop::running();  // before any change: without a loop nothing happens
  _state = State::CONNECTING;
  _cancel_state_task();
  _state_task = Task<void>::create(loop, _run());
}

Awaitable<void> Vesk::stop() {
  _state = State::STOPPED;
  _cancel_state_task();
  co_await release_partitions(partitions());
  stop_all_partition_consumers();
}

Awaitable<void> Vesk::release_partitions(std::vector<PartitionId> partitions) {
  std::vector<Task<void>> releases;
  for (PartitionId partition : partitions) {
    _end_recreation(partition);
    auto* found = _partition_consumers.find(partition);
    if (found == nullptr) continue;
    // Out of the map first: a consumer that fails while it is let go is not replaced.
    auto consumer = *found;
    _partition_consumers.erase(partition);
    releases.push_back(Task<void>::create(EventLoop::running(), consumer->release(release_deadline)));
  }
  for (auto& release : releases) {
    // release() never fails; a cancelled wait leaves the rest to their own deadlines.
    auto ended = release.wait();
    (void)co_await attempt(std::move(ended));
  }
}

void Vesk::_end_recreation(PartitionId partition) {
  if (auto* pending = _recreations.find(partition)) {
    auto wake = *pending;
    _recreations.erase(partition);
    wake->set();
  }
}

void Vesk::stop_partition_consumer(PartitionId partition) {
  _end_recreation(partition);
  auto* consumer = _partition_consumers.find(partition);
  if (consumer == nullptr) return;
  (*consumer)->dispose();
  _partition_consumers.erase(partition);
}

void Vesk::stop_all_partition_consumers() {
  for (PartitionId partition : _recreations.keys()) stop_partition_consumer(partition);
  for (PartitionId partition : _partition_consumers.keys()) stop_partition_consumer(partition);
}

void Vesk::on_checkpoint_stored(CheckpointObserver observer) {
  if (!observer) {
    *_checkpoint_observer = nullptr;
    return;
  }
  *_checkpoint_observer = [observer = std::move(observer), logger = _logger](PartitionId partition, Offset offset) {
    try {
      observer(partition, offset);
    } catch (const std::exception& e) {
      logger->warn("The checkpoint observer failed for partition " + std::to_string(partition) + ": " + e.what());
    } catch (...) {
      logger->warn("The checkpoint observer failed for partition " + std::to_string(partition));
    }
  };
}

std::shared_ptr<PartitionMetrics> Vesk::_partition_metrics(PartitionId partition) {
  if (!_metrics_enabled) return nullptr;
  auto& metrics = _metrics[partition];
  if (!metrics) metrics = std::make_shared<PartitionMetrics>();
  return metrics;
}

MetricsSnapshot Vesk::metrics() const {
  MetricsSnapshot snapshot;
  snapshot.state = static_cast<MetricsSnapshot::EngineState>(_state);
  snapshot.rebalances = _rebalances;
  if (_source) snapshot.source = _source->health();
  const auto now = PartitionMetrics::Clock::now();
  auto add = [&](PartitionId partition, bool live) {
    PartitionSnapshot p;
    p.partition = partition;
    p.consumer_live = live;
    if (auto found = _metrics.find(partition); found != _metrics.end() && found->second) p.metrics = *found->second;
    if (_source) p.high_watermark = _source->high_watermark(partition);
    if (p.high_watermark && p.metrics.offset) p.lag = std::max<std::int64_t>(0, *p.high_watermark - *p.metrics.offset);
    const auto since = [&](const std::optional<PartitionMetrics::Clock::time_point>& at) -> std::optional<double> {
      if (!at) return std::nullopt;
      return std::chrono::duration<double>(now - *at).count();
    };
    p.seconds_since_checkpoint = since(p.metrics.stored_at);
    p.seconds_since_progress = since(p.metrics.progress_at);
    snapshot.partitions.push_back(std::move(p));
  };
  for (const auto& [partition, consumer] : _partition_consumers) {
    add(partition, !_recreations.contains(partition) && consumer && !consumer->_task.done());
  }
  for (const auto& [partition, wake] : _recreations) {
    if (!_partition_consumers.contains(partition)) add(partition, false);
  }
  return snapshot;
}

void Vesk::_cancel_state_task() {
  if (_state_task) _state_task.cancel();
}

Awaitable<void> Vesk::_run() {
  auto alive = _alive;
  auto connect = [](Vesk& self) -> Awaitable<void> {
    self.stop_all_partition_consumers();
    co_await self._connect();
  };
  while (_state != State::STOPPED) {
    auto round = connect(*this);
    const auto failure = co_await attempt(std::move(round));
    if (!failure || !*alive) co_return;
    _logger->error("Error in Vesk _run: " + error_text(failure));
    co_await sleep(std::chrono::seconds(1));
    if (!*alive) co_return;
  }
}

Awaitable<void> Vesk::_connect() {
  auto alive = _alive;
  _logger->info("Connecting to source...");
  _state = State::CONNECTING;
  if (auto source = _source) {
    // A source is always stopped before it is started, also on the very first attempt.
    co_await source->stop();
    if (!*alive) throw CancelledError();
  }
  auto source = _source;
  if (!source) throw std::runtime_error("no source is set (call source() before start())");
  co_await source->start();
  if (!*alive) throw CancelledError();
  _state = State::CONSUMING;
  _logger->info("Source started");
}

// ---------------------------------------------------------------------------------------------

Vesk::AssignmentListener::AssignmentListener(Vesk* vesk) : _vesk(vesk) {}

void Vesk::AssignmentListener::on_partitions_revoked(const std::vector<PartitionId>& revoked) {
  if (_vesk == nullptr) return;
  _vesk->_logger->info("Partitions revoked: " + std::to_string(revoked.size()));
  for (PartitionId partition : revoked) _vesk->stop_partition_consumer(partition);
}

Awaitable<void> Vesk::AssignmentListener::release_partitions(const std::vector<PartitionId>& revoked) {
  // The frame holds the listener, which its source may drop meanwhile.
  auto self = shared_from_this();
  if (_vesk == nullptr) co_return;
  _vesk->_logger->info("Partitions revoked: " + std::to_string(revoked.size()));
  co_await _vesk->release_partitions(revoked);
}

void Vesk::AssignmentListener::on_partitions_assigned(const std::vector<PartitionId>& assigned) {
  if (_vesk == nullptr) return;
  _vesk->_logger->info("Partitions assigned: " + std::to_string(assigned.size()));
  auto& loop = EventLoop::running();
  ++_vesk->_rebalances;
  for (PartitionId partition : assigned) {
    // A new assignment starts the wait for progress afresh.
    if (auto metrics = _vesk->_partition_metrics(partition)) metrics->progress_at = PartitionMetrics::Clock::now();
  }
  for (PartitionId partition : assigned) {
    try {
      _vesk->stop_partition_consumer(partition);
      auto consumer = _create_partition_consumer(partition);
      _vesk->_partition_consumers.set(partition, consumer);
      _start_watcher(loop, std::move(consumer), Backoff{});
    } catch (...) {
      // This partition is built again on the back-off; the rest of the list goes on.
      const auto failure = std::current_exception();
      _vesk->_logger->error("Error creating partition consumer " + std::to_string(partition) + ": " +
                            error_text(failure) + " " + error_trace(failure));
      auto retry = [](std::shared_ptr<AssignmentListener> self, PartitionId partition,
                      std::shared_ptr<Event> wake) -> Awaitable<void> {
        co_await self->_recreate_partition_consumer(partition, Backoff{}, false, std::move(wake));
      };
      fire_and_forget(loop, retry(shared_from_this(), partition, _register_recreation(partition)), _vesk->_logger,
                      "Recreating partition consumer " + std::to_string(partition));
    }
  }
}

std::shared_ptr<Vesk::PartitionConsumer> Vesk::AssignmentListener::_create_partition_consumer(PartitionId partition) {
  Vesk& vesk = *_vesk;
  auto consumer = std::make_shared<PartitionConsumer>(partition, vesk._source, vesk._storage, vesk._logger,
                                                      vesk._workers_per_partition, vesk._checkpoint_interval,
                                                      vesk._stream_handler);
  // Before its tasks first run, which is when they are read.
  consumer->configure(vesk._worker_connect_timeout, vesk._slow_worker_warning_interval,
                      vesk._partition_metrics(partition), vesk._checkpoint_observer);
  return consumer;
}

void Vesk::AssignmentListener::_start_watcher(EventLoop& loop, std::shared_ptr<PartitionConsumer> consumer,
                                              Backoff backoff) {
  // The watcher's frame holds the listener, which its source may drop at any time.
  auto watch = [](std::shared_ptr<AssignmentListener> self, std::shared_ptr<PartitionConsumer> consumer,
                  Backoff backoff) -> Awaitable<void> {
    co_await self->_recreate_partition_consumer_on_error(std::move(consumer), backoff);
  };
  const PartitionId partition = consumer->_partition;
  fire_and_forget(loop, watch(shared_from_this(), std::move(consumer), backoff), _vesk->_logger,
                  "Watching partition consumer " + std::to_string(partition));
}

std::shared_ptr<Event> Vesk::AssignmentListener::_register_recreation(PartitionId partition) {
  auto wake = std::make_shared<Event>();
  if (auto* earlier = _vesk->_recreations.find(partition)) (*earlier)->set();
  _vesk->_recreations.set(partition, wake);
  return wake;
}

double RecreationBackoff::take() {
  constexpr double longest = 60.0;
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> jitter(0.8, 1.2);
  const double delay = std::min(longest, next_seconds * jitter(random));
  next_seconds = std::min(longest, next_seconds * 2);
  return delay;
}

Awaitable<void> Vesk::AssignmentListener::_recreate_partition_consumer_on_error(
    std::shared_ptr<PartitionConsumer> consumer, Backoff backoff) {
  // A disposed consumer's task was cancelled: that reaches the watcher and ends it quietly.
  auto ended = consumer->_task.wait();
  const auto failure = co_await attempt(std::move(ended));
  if (!failure || _vesk == nullptr) co_return;
  Vesk& vesk = *_vesk;
  const PartitionId partition = consumer->_partition;
  // A revoked partition is not brought back.
  if (!vesk._partition_consumers.contains(partition)) co_return;
  vesk._logger->error("Error in partition consumer " + std::to_string(partition) + ": " + error_text(failure) + " " +
                      error_trace(failure));
  // A consumer that had been doing its work failed for a new reason: try again at once. One
  // that never got going would only fail the same way again: wait first.
  const bool healthy = consumer->was_healthy(healthy_after);
  if (healthy) backoff.reset();
  try {
    vesk.stop_partition_consumer(partition);
  } catch (...) {
    const auto error = std::current_exception();
    vesk._logger->error("Error disposing partition consumer " + std::to_string(partition) + ": " + error_text(error) +
                        " " + error_trace(error));
    vesk._partition_consumers.erase(partition);
  }
  co_await _recreate_partition_consumer(partition, backoff, healthy, _register_recreation(partition));
}

Awaitable<void> Vesk::AssignmentListener::_recreate_partition_consumer(PartitionId partition, Backoff backoff,
                                                                       bool immediately, std::shared_ptr<Event> wake) {
  for (;;) {
    if (!immediately) {
      const double delay = backoff.take();
      _vesk->_logger->info("Retrying partition consumer " + std::to_string(partition) + " in " + three_decimals(delay) +
                           " s");
      co_await wake->wait_for(
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delay)));
    }
    immediately = false;
    // Revoked, reassigned or stopped meanwhile: someone else owns the partition now, or nobody.
    if (_vesk == nullptr) co_return;
    auto* pending = _vesk->_recreations.find(partition);
    if (pending == nullptr || *pending != wake) co_return;
    std::shared_ptr<PartitionConsumer> consumer;
    std::exception_ptr failure;
    try {
      consumer = _create_partition_consumer(partition);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      _vesk->_logger->error("Error creating partition consumer " + std::to_string(partition) + ": " +
                            error_text(failure) + " " + error_trace(failure));
      continue;
    }
    _vesk->_recreations.erase(partition);
    if (consumer->metrics()) ++consumer->metrics()->consumer_recreations;
    _vesk->_partition_consumers.set(partition, consumer);
    _start_watcher(EventLoop::running(), std::move(consumer), backoff);
    co_return;
  }
}

}  // namespace vesk

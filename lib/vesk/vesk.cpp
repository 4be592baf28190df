#include "vesk/vesk.hpp"

#include "loop/errors.hpp"

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
      _checkpoint_interval(checked_interval(checkpoint_interval)) {}

Vesk::~Vesk() {
  *_alive = false;
  for (auto& listener : _listeners) listener->_vesk = nullptr;
  _cancel_state_task();
  for (auto& [partition, consumer] : _partition_consumers) consumer->dispose();
  _partition_consumers.clear();
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
  stop_all_partition_consumers();
  _cancel_state_task();
  co_return;
}

void Vesk::stop_partition_consumer(PartitionId partition) {
  auto* consumer = _partition_consumers.find(partition);
  if (consumer == nullptr) return;
  (*consumer)->dispose();
  _partition_consumers.erase(partition);
}

void Vesk::stop_all_partition_consumers() {
  for (PartitionId partition : _partition_consumers.keys()) stop_partition_consumer(partition);
}

void Vesk::_cancel_state_task() {
  if (_state_task) _state_task.cancel();
}

Awaitable<void> Vesk::_run() {
  auto alive = _alive;
  while (_state != State::STOPPED) {
    std::exception_ptr failure;
    try {
      stop_all_partition_consumers();
      co_await _connect();
      co_return;
    } catch (...) {
      failure = std::current_exception();
    }
    rethrow_if_cancellation(failure);
    if (!*alive) co_return;
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

void Vesk::AssignmentListener::on_partitions_assigned(const std::vector<PartitionId>& assigned) {
  if (_vesk == nullptr) return;
  _vesk->_logger->info("Partitions assigned: " + std::to_string(assigned.size()));
  auto& loop = EventLoop::running();
  for (PartitionId partition : assigned) {
    _vesk->stop_partition_consumer(partition);
    auto consumer = _create_partition_consumer(partition);
    _vesk->_partition_consumers.set(partition, consumer);
    _start_watcher(loop, std::move(consumer));
  }
}

std::shared_ptr<Vesk::PartitionConsumer> Vesk::AssignmentListener::_create_partition_consumer(PartitionId partition) {
  Vesk& vesk = *_vesk;
  return std::make_shared<PartitionConsumer>(partition, vesk._source, vesk._storage, vesk._logger,
                                             vesk._workers_per_partition, vesk._checkpoint_interval,
                                             vesk._stream_handler);
}

void Vesk::AssignmentListener::_start_watcher(EventLoop& loop, std::shared_ptr<PartitionConsumer> consumer) {
  // The watcher's frame holds the listener, which its source may drop at any time.
  auto watch = [](std::shared_ptr<AssignmentListener> self,
                  std::shared_ptr<PartitionConsumer> consumer) -> Awaitable<void> {
    co_await self->_recreate_partition_consumer_on_error(std::move(consumer));
  };
  Task<void>::create(loop, watch(shared_from_this(), std::move(consumer)));
}

Awaitable<void> Vesk::AssignmentListener::_recreate_partition_consumer_on_error(
    std::shared_ptr<PartitionConsumer> consumer) {
  std::exception_ptr failure;
  try {
    co_await consumer->_task.wait();
    co_return;
  } catch (...) {
    failure = std::current_exception();
  }
  // A disposed consumer's task was cancelled: that reaches the watcher and ends it quietly.
  rethrow_if_cancellation(failure);
  if (_vesk == nullptr) co_return;
  Vesk& vesk = *_vesk;
  const PartitionId partition = consumer->_partition;
  // A revoked partition is not brought back.
  if (!vesk._partition_consumers.contains(partition)) co_return;
  auto& loop = EventLoop::running();
  vesk._logger->error("Error in partition consumer " + std::to_string(partition) + ": " + error_text(failure) +
                      " " + error_trace(failure));
  vesk.stop_partition_consumer(partition);
  auto fresh = _create_partition_consumer(partition);
  vesk._partition_consumers.set(partition, fresh);
  _start_watcher(loop, std::move(fresh));
}

}  // namespace vesk

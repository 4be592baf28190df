#include "vesk/partition_consumer.hpp"

#include "vesk/detail/batch_cycle.hpp"
#include "vesk/detail/checkpointer.hpp"
#include "vesk/detail/consumer_context.hpp"
#include "vesk/detail/worker_pool.hpp"
#include "vesk/loop/errors.hpp"

#include <stdexcept>
#include <string>

namespace vesk {

Vesk::PartitionConsumer::PartitionConsumer(PartitionId partition, std::shared_ptr<VeskFeed> source,
                                           std::shared_ptr<VeskStateStore> storage, Logger logger,
                                           int workers_per_partition,
                                           std::chrono::steady_clock::duration checkpoint_interval,
                                           std::shared_ptr<StreamHandlerBase> stream_handler) {
  if (workers_per_partition < 1) {
    throw ValueError("workers_per_partition must be at least 1, got " + std::to_string(workers_per_partition));
  }
  auto& loop = EventLoop::running();
  _partition = partition;
  _source = std::move(source);
  _storage = std::move(storage);
  _logger = std::move(logger);
  _context = std::make_unique<detail::ConsumerContext>();
  _context->partition = partition;
  _context->logger = _logger;
  _context->loop = &loop;
  _context->hold = [this] { return std::shared_ptr<const void>(weak_from_this().lock()); };
  _handshake = std::make_unique<detail::Handshake>(_all_workers_drained, _is_checkpoint_task_running);
  _pool = std::make_unique<detail::WorkerPool>(*_context, _worker_processes);
  _task = _context->spawn(_run_until_fault());
  _workers_per_partition = workers_per_partition;
  _checkpoint_interval = checkpoint_interval;
  _handshake->set_checkpoint_running(false);
  _handshake->set_all_workers_drained(true);
  _state.reset();
  _batches = std::make_unique<detail::BatchCycle>(*_context, *_pool, *_handshake, _source, _state);
  _checkpointer = std::make_unique<detail::Checkpointer>(*_context, *_pool, *_handshake, _storage, _source, _state,
                                                         _checkpoint_interval);
  _checkpoint_task = _context->spawn(_checkpoint_loop());
  _worker_processes.clear();
  _stream_handler = std::move(stream_handler);
  try {
    _create_worker_processes();
  } catch (...) {
    // The tasks must never run on an object that was not fully built.
    dispose();
    throw;
  }
}

Vesk::PartitionConsumer::~PartitionConsumer() { dispose(); }

void Vesk::PartitionConsumer::_create_worker_processes() {
  std::string stream_handler_path;
  if (_stream_handler) stream_handler_path = _stream_handler->get_module_path();
  _pool->start(_workers_per_partition, stream_handler_path);
}

void Vesk::PartitionConsumer::dispose() {
  if (_disposed) return;
  _disposed = true;
  _task.cancel();
  _checkpoint_task.cancel();
  if (_pool) _pool->dispose();
}

Awaitable<void> Vesk::PartitionConsumer::close_conn_future(Task<std::shared_ptr<ChannelConnection>> conn_future) {
  try {
    auto connection = co_await conn_future.wait();
    if (connection) connection->close();
  } catch (...) {
    // The worker never connected, or the channel is already gone: nothing left to close.
  }
}

void Vesk::PartitionConsumer::configure(std::chrono::steady_clock::duration worker_connect_timeout,
                                        std::chrono::steady_clock::duration slow_worker_warning_interval,
                                        std::shared_ptr<PartitionMetrics> metrics,
                                        std::shared_ptr<const CheckpointObserver> checkpoint_observer) {
  _pool->worker_connect_timeout = worker_connect_timeout;
  _pool->slow_worker_warning_interval = slow_worker_warning_interval;
  _context->metrics = std::move(metrics);
  _context->checkpoint_observer = std::move(checkpoint_observer);
}

const std::shared_ptr<PartitionMetrics>& Vesk::PartitionConsumer::metrics() const noexcept { return _context->metrics; }

bool Vesk::PartitionConsumer::was_healthy(std::chrono::steady_clock::duration healthy_after) const {
  return _checkpointer->checkpoints_stored() > 0 ||
         std::chrono::steady_clock::now() - _pool->created_at() >= healthy_after;
}

bool Vesk::PartitionConsumer::handed_over() const noexcept { return _handshake->initial_state_sent(); }

Awaitable<void> Vesk::PartitionConsumer::_run_until_fault() {
  auto run = _context->spawn(_run());
  co_await _pool->until_fault(run);
}

Awaitable<void> Vesk::PartitionConsumer::_run() {
  if (!_source) throw std::logic_error("partition consumer " + std::to_string(_partition) + " has no source");
  _state = co_await get_partition_state_from_storage();
  _context->offset_stored(_state->offset);
  if (const auto& metrics = _context->metrics) {
    metrics->offset = metrics->stored_offset = _state->offset;
    metrics->stored_at = std::chrono::steady_clock::now();
  }
  co_await distribute_state_to_workers(*_state);
  co_await _batches->run();
}

Awaitable<void> Vesk::PartitionConsumer::_distribute_messages(const std::vector<Message>& messages) {
  return _batches->route(messages);
}

Awaitable<void> Vesk::PartitionConsumer::_collect_all_workers_drained() { return _batches->drain(); }

Awaitable<void> Vesk::PartitionConsumer::_wait_all_workers_drained() { return _handshake->wait_collection_allowed(); }

Awaitable<void> Vesk::PartitionConsumer::_checkpoint_loop() { return _checkpointer->run(); }

Awaitable<void> Vesk::PartitionConsumer::_do_checkpoint() { return _checkpointer->checkpoint(); }

Awaitable<Vesk::PartitionConsumer::CollectedKeyStates> Vesk::PartitionConsumer::_collect_key_states() {
  return _checkpointer->collect();
}

Awaitable<void> Vesk::PartitionConsumer::collect_key_states_from_worker(
    std::size_t worker, std::shared_ptr<CollectedKeyStates> key_states) {
  return _checkpointer->collect_from(worker, std::move(key_states));
}

Awaitable<void> Vesk::PartitionConsumer::wait_for_checkpoint_task() { return _handshake->wait_no_checkpoint(); }

Awaitable<PartitionState> Vesk::PartitionConsumer::get_partition_state_from_storage() {
  return _checkpointer->restore();
}

Awaitable<void> Vesk::PartitionConsumer::distribute_state_to_workers(const PartitionState& state) {
  return _batches->hand_over(state);
}

}  // namespace vesk

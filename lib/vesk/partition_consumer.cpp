#include "vesk/partition_consumer.hpp"

#include "loop/errors.hpp"
#include "partitioner/default_partitioner.hpp"
#include "pickle/pickle.hpp"
#include "vesk/detail/checkpoint_texts.hpp"
#include "vesk/detail/state_file_taken.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

namespace vesk {
namespace {

std::vector<int> worker_indices(int n) {
  std::vector<int> indices(static_cast<std::size_t>(n));
  std::iota(indices.begin(), indices.end(), 0);
  return indices;
}

double loop_clock() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// In an answer of changes, a key removed since the last answer has none for its state.
bool is_removed(const Value&, const Value& state) { return state.is_none(); }

std::string reply_text(const Value& response) { return response.is_text() ? response.as_text() : response.repr(); }

// Work on state maps runs on the loop while it is small, and on the blocking pool once it is
// big enough to hold up the other partitions' batches for milliseconds (about 1 ms per 10,000
// entries here). These are the sizes where it moves; both sides run the same function.
//   decoding a worker's collection answer, by its encoded size:
constexpr std::size_t decode_off_loop_bytes = 1 << 20;
//   encoding the hand-over maps at start, by the partition state's entries:
constexpr std::size_t encode_off_loop_entries = 100000;
// Above this many entries, the first collected map makes room for the others' before they arrive.
constexpr std::size_t reserve_ahead_entries = 100000;

// Runs `job` where the size says: inline, or on the blocking pool (the caller then resumes on
// the loop). Either way the result is the job's.
template <class Job>
Awaitable<std::invoke_result_t<Job&>> inline_or_off_loop(bool off_loop, Job job) {
  if (off_loop) co_return co_await run_blocking(std::move(job));
  co_return job();
}

// How long a failed channel waits to learn whether its worker has ended, so that the error can
// name the worker's exit rather than only its closed connection.
constexpr std::chrono::seconds exit_grace{1};

// A worker failed: it ended, broke its channel, or never connected.
class WorkerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace

Vesk::PartitionConsumer::PartitionConsumer(PartitionId partition, std::shared_ptr<VeskFeed> source,
                                           std::shared_ptr<VeskStateStore> storage, Logger logger,
                                           int workers_per_partition,
                                           std::chrono::steady_clock::duration checkpoint_interval,
                                           std::shared_ptr<StreamHandlerBase> stream_handler) {
  if (workers_per_partition < 1) {
    throw ValueError("workers_per_partition must be at least 1, got " + std::to_string(workers_per_partition));
  }
  auto& loop = EventLoop::running();
  _loop = &loop;
  _created_at = std::chrono::steady_clock::now();
  _partition = partition;
  _source = std::move(source);
  _storage = std::move(storage);
  _logger = std::move(logger);
  auto fault_body = [](std::shared_ptr<Fault> fault) -> Awaitable<void> {
    co_await fault->raised.wait();
    std::rethrow_exception(fault->error);
  };
  _fault_task = Task<void>::create(loop, fault_body(_fault));
  _task = Task<void>::create(loop, _keep_alive(this, _run_until_fault()));
  _workers_per_partition = workers_per_partition;
  _checkpoint_interval = checkpoint_interval;
  _set_checkpoint_task_running(false);
  _set_all_workers_drained(true);
  _state.reset();
  _checkpoint_task = Task<void>::create(loop, _keep_alive(this, _checkpoint_loop()));
  _worker_processes.clear();
  _stream_handler = std::move(stream_handler);
  try {
    _create_worker_processes();
    _waits.resize(_worker_processes.size());
    for (std::size_t i = 0; i < _worker_processes.size(); ++i) {
      _worker_watches.push_back(Task<void>::create(loop, _keep_alive(this, _watch_worker(i))));
    }
    _slow_worker_watch = Task<void>::create(loop, _keep_alive(this, _watch_slow_workers()));
  } catch (...) {
    // The tasks must never run on an object that was not fully built.
    dispose();
    throw;
  }
}

Vesk::PartitionConsumer::~PartitionConsumer() { dispose(); }

Awaitable<void> Vesk::PartitionConsumer::_keep_alive(PartitionConsumer* self, Awaitable<void> body) {
  // A task that is cancelled before it first runs never gets here, so `self` is still alive.
  auto keep = self->weak_from_this().lock();
  co_await std::move(body);
}

void Vesk::PartitionConsumer::_create_worker_processes() {
  std::string stream_handler_path;
  if (_stream_handler) stream_handler_path = _stream_handler->get_module_path();
  const std::string program = WorkerProcess::program_path();
  for (int i = 0; i < _workers_per_partition; ++i) {
    auto listener = std::make_shared<ChannelListener>(_logger);
    std::vector<std::string> args{listener->host(), std::to_string(listener->port()), stream_handler_path};
    // The listener is bound and listening before the worker starts, and the accept is already
    // scheduled, so the worker's connect is always taken.
    auto conn_future = listener->accept();
    _worker_processes.push_back(WorkerProcessRef{nullptr, conn_future, listener});
    _worker_processes.back().process = std::make_shared<WorkerProcess>(program, args, listener->secret());
  }
}

void Vesk::PartitionConsumer::dispose() {
  if (_disposed) return;
  _disposed = true;
  _task.cancel();
  _checkpoint_task.cancel();
  _fault_task.cancel();
  for (auto& watch : _worker_watches) watch.cancel();
  _slow_worker_watch.cancel();
  for (auto& worker : _worker_processes) {
    if (worker.process) worker.process->kill();
    if (worker.listener) worker.listener->close();
    if (worker.conn_future && _loop != nullptr) {
      fire_and_forget(*_loop, close_conn_future(worker.conn_future), _logger, "Closing a worker connection");
    }
  }
}

Awaitable<void> Vesk::PartitionConsumer::close_conn_future(Task<std::shared_ptr<ChannelConnection>> conn_future) {
  try {
    auto connection = co_await conn_future.wait();
    if (connection) connection->close();
  } catch (...) {
    // The worker never connected, or the channel is already gone: nothing left to close.
  }
}

bool Vesk::PartitionConsumer::_was_healthy(std::chrono::steady_clock::duration healthy_after) const {
  return _checkpoints_stored > 0 || std::chrono::steady_clock::now() - _created_at >= healthy_after;
}

std::string Vesk::PartitionConsumer::_describe_worker(std::size_t worker) const {
  std::string text = "worker " + std::to_string(worker);
  if (worker < _worker_processes.size() && _worker_processes[worker].process) {
    text += " (pid " + std::to_string(_worker_processes[worker].process->pid()) + ")";
  }
  return text;
}

void Vesk::PartitionConsumer::_raise_fault(std::exception_ptr fault) {
  if (_fault->error) return;
  _fault->error = std::move(fault);
  _fault->raised.set();
}

Awaitable<void> Vesk::PartitionConsumer::_run_until_fault() {
  auto run = Task<void>::create(*_loop, _keep_alive(this, _run()));
  co_await _until_fault(run);
}

Awaitable<void> Vesk::PartitionConsumer::_until_fault(Task<void>& work) {
  std::exception_ptr stopped;
  try {
    co_await wait_any(work, _fault_task);
  } catch (...) {
    stopped = std::current_exception();
  }
  if (stopped || !work.done()) {
    // Disposed, or a worker failed while the work waited on something else.
    work.cancel();
    if (!stopped) stopped = _fault->error ? _fault->error : std::make_exception_ptr(CancelledError());
    std::rethrow_exception(stopped);
  }
  co_await work.wait();
}

Awaitable<void> Vesk::PartitionConsumer::_watch_worker(std::size_t worker) {
  auto process = _worker_processes[worker].process;
  const WorkerProcess::ExitStatus status = co_await process->wait_exit();
  if (_metrics) ++_metrics->worker_exits;
  _raise_fault(std::make_exception_ptr(WorkerError(_describe_worker(worker) + " " + status.text())));
}

void Vesk::PartitionConsumer::_begin_wait(std::size_t worker, const char* what) {
  _waits[worker] = Wait{std::chrono::steady_clock::now(), what, 0};
}

void Vesk::PartitionConsumer::_end_wait(std::size_t worker) noexcept { _waits[worker].reset(); }

Awaitable<void> Vesk::PartitionConsumer::_watch_slow_workers() {
  // Sleeps a whole interval while nothing waits, so that a wait is first looked at within one
  // interval of its start, and from then on exactly when its next warning is due.
  const auto interval = std::max<std::chrono::steady_clock::duration>(_slow_worker_warning_interval,
                                                                     std::chrono::milliseconds(10));
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    auto next = now + interval;
    for (std::size_t i = 0; i < _waits.size(); ++i) {
      auto& wait = _waits[i];
      if (!wait) continue;
      auto due = wait->since + (wait->warnings + 1) * interval;
      if (due <= now) {
        ++wait->warnings;
        const double waited = std::chrono::duration<double>(now - wait->since).count();
        std::string text = _describe_worker(i);
        text[0] = 'W';
        if (std::string_view(wait->what) == "collection") {
          _logger->warn(checkpoint_prefix(_partition) + text + " has not sent its key states for " +
                        three_decimals(waited) + " s; still waiting");
        } else {
          _logger->warn(text + " of partition " + std::to_string(_partition) + " has not drained its batch for " +
                        three_decimals(waited) + " s; still waiting");
        }
        due += interval;
      }
      next = std::min(next, due);
    }
    co_await sleep(next - now);
  }
}

void Vesk::PartitionConsumer::_retire_channel(std::size_t worker) noexcept {
  auto& future = _worker_processes[worker].conn_future;
  if (!future.done() || future.failed() || future.cancelled()) return;
  try {
    if (auto connection = future.result()) connection->close();
  } catch (...) {
  }
}

Awaitable<void> Vesk::PartitionConsumer::_fail_worker_channel(std::size_t worker, std::exception_ptr error) {
  rethrow_if_cancellation(error);
  // Never used again: a socket that failed once can leave later writes waiting for ever.
  _retire_channel(worker);
  const auto fault = std::make_exception_ptr(WorkerError(_describe_worker(worker) + ": " + error_text(error)));
  // A worker that has ended raises its own fault meanwhile, which names its exit.
  co_await _fault->raised.wait_for(exit_grace);
  _raise_fault(fault);
  std::rethrow_exception(_fault->error);
}

Awaitable<std::shared_ptr<ChannelConnection>> Vesk::PartitionConsumer::_connection(std::size_t worker) {
  auto& future = _worker_processes[worker].conn_future;
  if (!future.done()) {
    const auto left = _created_at + _worker_connect_timeout - std::chrono::steady_clock::now();
    bool connected = false;
    if (left > std::chrono::steady_clock::duration::zero()) connected = co_await wait_for(future, left);
    if (!connected) {
      throw WorkerError(_describe_worker(worker) + " did not connect within " +
                        three_decimals(std::chrono::duration<double>(_worker_connect_timeout).count()) + " s");
    }
  }
  co_return co_await future.wait();
}

Awaitable<void> Vesk::PartitionConsumer::_run() {
  if (!_source) throw std::logic_error("partition consumer " + std::to_string(_partition) + " has no source");
  _state = co_await get_partition_state_from_storage();
  if (_checkpoint_observer && *_checkpoint_observer) (*_checkpoint_observer)(_partition, _state->offset);
  if (_metrics) {
    _metrics->offset = _metrics->stored_offset = _state->offset;
    _metrics->stored_at = std::chrono::steady_clock::now();
  }
  co_await distribute_state_to_workers(*_state);
  if (_metrics) _metrics->progress_at = std::chrono::steady_clock::now();
  for (;;) {
    if (_releasing) co_return;
    co_await _source->seek(*_state);
    std::vector<Message> messages = co_await _source->get_many(_partition);
    co_await wait_for_checkpoint_task();
    // Released meanwhile: its last checkpoint holds everything up to here.
    if (_releasing) co_return;
    if (messages.empty()) continue;
    // From the checkpoint test above to here nothing suspends, so no collection can slip in.
    _set_all_workers_drained(false);
    const auto cycle_start = std::chrono::steady_clock::now();
    // Taking a batch is progress too: a partition is stalled only once one batch takes too long.
    if (_metrics) _metrics->progress_at = cycle_start;
    _logger->info("Distributing " + std::to_string(messages.size()) + " messages");
    Offset new_offset = messages.front().offset;
    for (const auto& m : messages) new_offset = std::max(new_offset, m.offset);
    _state->offset = new_offset + 1;
    co_await _distribute_messages(messages);
    co_await _collect_all_workers_drained();
    _set_all_workers_drained(true);
    if (_metrics) {
      const auto now = std::chrono::steady_clock::now();
      _metrics->record_batch(messages.size(), _state->offset, std::chrono::duration<double>(now - cycle_start).count(),
                             now);
    }
    _logger->info("Processed " + std::to_string(messages.size()) + " messages");
    _source->recycle(_partition, std::move(messages));
  }
}

Awaitable<void> Vesk::PartitionConsumer::_distribute_messages(const std::vector<Message>& messages) {
  const auto n = static_cast<std::size_t>(_workers_per_partition);
  std::vector<std::vector<const Message*>> key_groups(n);
  for (auto& group : key_groups) group.reserve(messages.size() / n + 1);
  DefaultPartitioner partitioner(worker_indices(_workers_per_partition));
  for (const auto& message : messages) {
    key_groups[static_cast<std::size_t>(partitioner(message.key))].push_back(&message);
  }
  // Every worker gets exactly one batch, possibly empty; sends do not wait for replies, so all
  // workers process their shares at the same time.
  for (std::size_t i = 0; i < n; ++i) {
    auto connection = co_await _connection(i);
    std::exception_ptr failure;
    try {
      co_await connection->send_batch(key_groups[i]);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) co_await _fail_worker_channel(i, failure);
  }
}

Awaitable<void> Vesk::PartitionConsumer::_collect_all_workers_drained() {
  for (std::size_t i = 0; i < _worker_processes.size(); ++i) _begin_wait(i, "drain");
  std::size_t failed_worker = 0;
  std::exception_ptr first_failure;
  for (std::size_t i = 0; i < _worker_processes.size(); ++i) {
    auto connection = co_await _connection(i);
    std::exception_ptr failure;
    try {
      Value response = co_await connection->receive();
      if (!(response.is_text() && response.as_text() == "drained")) {
        _logger->warn("Worker " + std::to_string(i) + " sent unexpected response: " + reply_text(response));
      }
    } catch (...) {
      failure = std::current_exception();
    }
    _end_wait(i);
    if (failure) {
      rethrow_if_cancellation(failure);
      _logger->error("Error waiting for worker " + std::to_string(i) + " to drain: " + error_text(failure));
      // The other workers still answer this batch; then the consumer fails, to start again
      // from its checkpoint with a fresh channel.
      _retire_channel(i);
      if (!first_failure) {
        first_failure = failure;
        failed_worker = i;
      }
    }
  }
  if (first_failure) co_await _fail_worker_channel(failed_worker, first_failure);
}

void Vesk::PartitionConsumer::_set_all_workers_drained(bool drained) {
  _all_workers_drained = drained;
  _update_handshake_events();
}

void Vesk::PartitionConsumer::_set_checkpoint_task_running(bool running) {
  _is_checkpoint_task_running = running;
  _update_handshake_events();
}

void Vesk::PartitionConsumer::_update_handshake_events() {
  if (_all_workers_drained && _initial_state_sent) {
    _collection_allowed.set();
  } else {
    _collection_allowed.clear();
  }
  if (_is_checkpoint_task_running) {
    _no_checkpoint_running.clear();
  } else {
    _no_checkpoint_running.set();
  }
}

Awaitable<void> Vesk::PartitionConsumer::_wait_all_workers_drained() {
  // The event mirrors the flags, so the waiter wakes the moment the batch cycle ends.
  while (!_all_workers_drained || !_initial_state_sent) co_await _collection_allowed.wait();
}

// --- checkpointing and restore ----------------------------------------------------------------

Awaitable<void> Vesk::PartitionConsumer::_checkpoint_loop() {
  for (;;) {
    co_await sleep(_checkpoint_interval);
    if (_fault->error) co_return;
    // Raced against the consumer's faults, so that a worker that ends mid-collection ends the
    // checkpoint too.
    auto checkpoint = Task<void>::create(*_loop, _keep_alive(this, _do_checkpoint()));
    std::exception_ptr stopped;
    try {
      co_await wait_any(checkpoint, _fault_task);
    } catch (...) {
      stopped = std::current_exception();
    }
    if (stopped) {
      checkpoint.cancel();
      std::rethrow_exception(stopped);
    }
    std::exception_ptr failure;
    if (!checkpoint.done()) {
      checkpoint.cancel();
      if (!_fault->error) throw CancelledError();
      failure = _fault->error;
    } else if (checkpoint.failed()) {
      failure = checkpoint.error();
    }
    if (failure && is_state_file_taken(failure)) {
      // Already said in a warning; the consumer ends without another try.
      _set_checkpoint_task_running(false);
      if (_metrics) ++_metrics->checkpoint_failures;
      _raise_fault(failure);
      co_return;
    }
    if (failure) {
      // Batches go on; the next interval tries again, unless the consumer has failed.
      _set_checkpoint_task_running(false);
      if (_metrics) ++_metrics->checkpoint_failures;
      _logger->error(checkpoint_prefix(_partition) + "Error in checkpoint loop: " + error_text(failure) + " " +
                     error_trace(failure));
      if (_fault->error) co_return;
    }
  }
}

Awaitable<void> Vesk::PartitionConsumer::_do_checkpoint() {
  const std::string prefix = checkpoint_prefix(_partition);
  _set_checkpoint_task_running(true);
  _logger->info(prefix + "Checkpoint started");
  co_await _wait_all_workers_drained();
  _logger->info(prefix + "Collecting key states");
  const double collection_start_time = loop_clock();
  if (!_state) throw std::logic_error("partition " + std::to_string(_partition) + " has no state in memory yet");
  CollectedKeyStates collected = co_await _collect_key_states();
  const std::size_t whole_answers =
      static_cast<std::size_t>(std::count(collected.whole.begin(), collected.whole.end(), true));
  if (whole_answers == collected.whole.size()) {
    // From the hand-over on, every key of the partition lives in exactly one worker, so the
    // collected maps together are the whole state: a key that a handler removed is gone.
    _state->state = std::move(collected.states);
  } else if (whole_answers > 0) {
    _replace_whole_answers(collected);
  }
  const double collection_end_time = loop_clock();
  const double collection_duration = collection_end_time - collection_start_time;
  _logger->info(collected_key_states_text(_partition, _state->state.size(), collection_duration));
  // Nothing changed since the state that is stored, and the offset has not moved: the file
  // already holds exactly this state, so writing it again would only cost the stream. Changes
  // that a failed save left unstored count until a save succeeds.
  if (whole_answers > 0) _unsaved_changes = true;
  const bool unchanged = !_unsaved_changes && _stored_offset == _state->offset;
  const double save_start_time = loop_clock();
  if (!unchanged) {
    auto tag = co_await _storage->set_partition_state_if(_partition, *_state, _file_tag);
    if (!tag) {
      const std::string text = "partition " + std::to_string(_partition) + " was written by another owner since offset " +
                               (_stored_offset ? std::to_string(*_stored_offset) : std::string("none"));
      _logger->warn(prefix + "Checkpoint not stored: " + text);
      throw StateFileTakenError(text);
    }
    _file_tag = std::move(*tag);
  }
  _stored_offset = _state->offset;
  _unsaved_changes = false;
  if (_source) _source->checkpoint_stored(_partition, _state->offset);
  const double save_end_time = loop_clock();
  const double save_duration = save_end_time - save_start_time;
  _last_save_seconds = save_duration;
  ++_checkpoints_stored;
  _set_checkpoint_task_running(false);
  if (_metrics) {
    _metrics->checkpoint_keys = _state->state.size();
    _metrics->checkpoint_collection_seconds = collection_duration;
    _metrics->checkpoint_save_seconds = save_duration;
    _metrics->checkpoint_total_seconds = collection_duration + save_duration;
    _metrics->stored_offset = _state->offset;
    _metrics->stored_at = std::chrono::steady_clock::now();
  }
  _logger->info(checkpoint_done_text(_partition, collection_duration, save_duration));
  if (_checkpoint_observer && *_checkpoint_observer) (*_checkpoint_observer)(_partition, _state->offset);
}

Awaitable<Vesk::PartitionConsumer::CollectedKeyStates> Vesk::PartitionConsumer::_collect_key_states() {
  auto key_states = std::make_shared<CollectedKeyStates>();
  key_states->whole.assign(_worker_processes.size(), false);
  std::vector<Task<void>> collection_tasks;
  collection_tasks.reserve(_worker_processes.size());
  for (std::size_t i = 0; i < _worker_processes.size(); ++i) {
    collection_tasks.push_back(Task<void>::create(*_loop, _keep_alive(this, collect_key_states_from_worker(i, key_states))));
  }
  std::exception_ptr failure;
  try {
    co_await gather(collection_tasks);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    rethrow_if_cancellation(failure);
    // The other collections still own their channels: wait until they are off them, so that
    // no batch cycle shares a channel with a collection.
    for (auto& task : collection_tasks) {
      try {
        co_await task.wait();
      } catch (...) {
        rethrow_if_cancellation(std::current_exception());
      }
    }
    std::rethrow_exception(failure);
  }
  co_return std::move(*key_states);
}

void Vesk::PartitionConsumer::_replace_whole_answers(CollectedKeyStates& collected) {
  // Workers that answered with their whole map replace every key they own in `_state`; the
  // changes of the others are already in it.
  DefaultPartitioner partitioner(worker_indices(_workers_per_partition));
  Dict kept;
  kept.reserve(_state->state.size());
  for (auto& [key, value] : _state->state) {
    const auto worker = static_cast<std::size_t>(partitioner(std::string_view(key.as_text())));
    if (!collected.whole[worker]) kept.append_unique(std::move(key), std::move(value));
  }
  kept.update(std::move(collected.states));
  _state->state = std::move(kept);
}

Awaitable<void> Vesk::PartitionConsumer::collect_key_states_from_worker(std::size_t worker,
                                                                        std::shared_ptr<CollectedKeyStates> key_states) {
  auto connection = co_await _connection(worker);
  const Value request("collect_key_states");
  std::string encoded;
  std::exception_ptr failure;
  try {
    co_await connection->send(request);
    _begin_wait(worker, "collection");
    encoded = co_await connection->receive_encoded();
  } catch (...) {
    failure = std::current_exception();
  }
  _end_wait(worker);
  if (failure) co_await _fail_worker_channel(worker, failure);
  Event& idle = *key_states->reader_idle;
  while (!idle.is_set()) co_await idle.wait();
  idle.clear();
  struct Reading {
    Event& idle;
    ~Reading() { idle.set(); }
  } reading{idle};
  co_await _read_collection_answer(worker, std::move(encoded), *key_states);
}

Awaitable<void> Vesk::PartitionConsumer::_read_collection_answer(std::size_t worker, std::string encoded,
                                                                  CollectedKeyStates& key_states) {
  const auto workers = _worker_processes.size();
  // Big answers are read on the blocking pool; nothing else touches the state map meanwhile,
  // since no batch cycle runs during a collection. The job holds the consumer.
  // Named, not a temporary in the co_await: g++ 12 destroys such a temporary twice.
  const bool big = encoded.size() >= decode_off_loop_bytes;
  struct Read {
    Value reply;
    std::size_t changes = 0;
  };
  auto read = [self = shared_from_this(), bytes = std::make_shared<std::string>(std::move(encoded))]() {
    Read out;
    out.reply = pickle::loads_merging(*bytes, self->_state->state, &out.changes);
    return out;
  };
  Read answer;
  std::exception_ptr failure;
  try {
    answer = co_await inline_or_off_loop(big, std::move(read));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // Cancelled: the job may still be reading into the state, which nobody uses any more.
    rethrow_if_cancellation(failure);
    // Some of its changes may be in the state already, and a removed key's none must not stay.
    _unsaved_changes = true;
    _state->state.erase_if(is_removed);
    std::rethrow_exception(failure);
  }
  Value& reply = answer.reply;
  // A worker that cannot give its states says why in a text; its channel stays in step.
  if (reply.is_text()) {
    throw ValueError(_describe_worker(worker) + " answered the collection request with a text instead of its state map: " +
                     reply.as_text());
  }
  if (reply.is_tuple() && reply.as_tuple().size() == 2 && reply.as_tuple()[0].is_int() && reply.as_tuple()[1].is_none()) {
    // Changes: (number of removed keys, key -> state, or none for a key removed).
    key_states.changes += answer.changes;
    if (answer.changes > 0) _unsaved_changes = true;
    if (reply.as_tuple()[0].as_int() > 0) {
      _state->state.erase_if(is_removed);
    }
    co_return;
  }
  if (!reply.is_dict()) {
    throw TypeError(_describe_worker(worker) + " answered the collection request with a " + reply.kind_name() +
                    " instead of its state map");
  }
  key_states.whole[worker] = true;
  Dict& states = reply.as_dict();
  Dict& into = key_states.states;
  if (into.empty()) {
    into = std::move(states);
    // Room for the other workers' maps, made before their answers are read.
    if (workers > 1 && into.size() >= reserve_ahead_entries) into.reserve(into.size() * workers * 11 / 10);
  } else {
    into.update(std::move(states));
  }
}

Awaitable<void> Vesk::PartitionConsumer::wait_for_checkpoint_task() {
  while (_is_checkpoint_task_running) co_await _no_checkpoint_running.wait();
}

Awaitable<PartitionState> Vesk::PartitionConsumer::get_partition_state_from_storage() {
  const auto file = [this] {
    return _storage->storage_provider->prefix + VeskStateStore::get_partition_state_file_name(_partition);
  };
  std::optional<PartitionState> state;
  std::exception_ptr failure;
  try {
    auto read = co_await _storage->get_versioned_partition_state(_partition);
    state = std::move(read.state);
    _file_tag = std::move(read.tag);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    rethrow_if_cancellation(failure);
    throw std::runtime_error("cannot restore from the state file " + file() + ": " + error_text(failure));
  }
  if (!state) {
    _logger->info("No state for partition " + std::to_string(_partition) + ", starting from offset 0");
    state = PartitionState{_partition, 0, Dict{}};
    // Stored before any message is read, unless another owner has made the file meanwhile.
    auto tag = co_await _storage->set_partition_state_if(_partition, *state, std::nullopt);
    if (!tag) {
      throw StateFileTakenError("the state file " + file() + " of partition " + std::to_string(_partition) +
                                " was made by another owner while this one started");
    }
    _file_tag = std::move(*tag);
    _stored_offset = 0;
  } else {
    // A file that belongs elsewhere would move another partition's read position.
    if (state->partition != _partition) {
      throw ValueError("the state file " + file() + " holds partition " + std::to_string(state->partition) +
                       ", not partition " + std::to_string(_partition) + " that it was read for");
    }
    if (state->offset < 0) {
      throw ValueError("the state file " + file() + " of partition " + std::to_string(_partition) + " holds offset " +
                       std::to_string(state->offset) + ", below the lowest offset 0");
    }
    _logger->info("State found for partition " + std::to_string(_partition) + ", starting from offset " +
                  std::to_string(state->offset));
    _stored_offset = state->offset;
  }
  co_return std::move(*state);
}

Awaitable<void> Vesk::PartitionConsumer::distribute_state_to_workers(const PartitionState& state) {
  const auto n = static_cast<std::size_t>(_workers_per_partition);
  DefaultPartitioner partitioner(worker_indices(_workers_per_partition));
  const auto& entries = state.state.entries();
  // The worker of every key; then every worker's map is written straight from the entries.
  auto target_group = std::make_shared<std::vector<std::uint32_t>>(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const Value& key = entries[e].first;
    if (!key.is_text()) throw TypeError("stored state key " + key.repr() + " is not text");
    (*target_group)[e] = static_cast<std::uint32_t>(partitioner(std::string_view(key.as_text())));
  }
  auto encode = [&entries, target_group](std::uint32_t worker) {
    std::string partition_state;
    pickle::Writer writer(partition_state);
    writer.begin_dict();
    for (std::size_t e = 0; e < entries.size(); ++e) {
      if ((*target_group)[e] != worker) continue;
      writer.text(entries[e].first.as_text());
      writer.value(entries[e].second);
    }
    writer.end_dict();
    writer.finish();
    return partition_state;
  };
  auto send = [this](std::size_t i, std::string partition_state) -> Awaitable<void> {
    auto connection = co_await _connection(i);
    std::exception_ptr failure;
    try {
      co_await connection->send_encoded(std::move(partition_state));
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) co_await _fail_worker_channel(i, failure);
  };
  // Every worker's map is encoded at once (on the blocking pool when the state is large), and
  // each is sent as soon as it and the ones before it are ready. The jobs hold the consumer,
  // whose state nobody changes until the hand-over is done.
  const bool off_loop = entries.size() >= encode_off_loop_entries;
  std::vector<Task<std::string>> encodings;
  for (std::size_t i = 0; i < n; ++i) {
    auto job = [self = shared_from_this(), encode, worker = static_cast<std::uint32_t>(i)]() { return encode(worker); };
    encodings.push_back(Task<std::string>::create(*_loop, inline_or_off_loop(off_loop, std::move(job))));
  }
  for (std::size_t i = 0; i < n; ++i) {
    co_await send(i, co_await encodings[i].wait());
  }
  _initial_state_sent = true;
  _update_handshake_events();
}

}  // namespace vesk

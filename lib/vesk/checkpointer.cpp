#include "vesk/detail/checkpointer.hpp"

#include "vesk/channel/worker_protocol.hpp"
#include "vesk/detail/checkpoint_texts.hpp"
#include "vesk/detail/state_file_taken.hpp"
#include "vesk/loop/errors.hpp"

#include <algorithm>
#include <stdexcept>

namespace vesk::detail {
namespace {

// --- the checkpointer's frames on a worker channel -------------------------------------------

using worker_protocol::CollectionAnswer;

Awaitable<void> send_collect_request(ChannelConnection& connection) {
  co_await connection.send_with(&worker_protocol::CollectRequest::encode);
}

Awaitable<void> receive_answer(ChannelConnection& connection, std::string& encoded) {
  encoded = co_await connection.receive_encoded();
}

// An answer that is no collection answer at all names the worker that sent it.
[[noreturn]] void rethrow_naming(const std::exception_ptr& failure, const std::string& worker) {
  try {
    std::rethrow_exception(failure);
  } catch (const worker_protocol::UnexpectedCollectionAnswer& e) {
    throw TypeError(worker + " answered the collection request with a " + e.kind + " instead of its state map");
  }
}

// ------------------------------------------------------------------------------------------

// In an answer of changes, a key removed since the last answer has none for its state.
bool is_removed(const Value&, const Value& state) { return state.is_none(); }

double loop_clock() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Decoding a worker's answer moves to the blocking pool from this encoded size.
constexpr std::size_t decode_off_loop_bytes = 1 << 20;
// Above this many entries, the first collected map makes room for the others' before they arrive.
constexpr std::size_t reserve_ahead_entries = 100000;

// Awaits `job` where the size says, into `out`: a coroutine of its own, so that attempt() can
// take its failure.
template <class Job, class Out>
Awaitable<void> run_into(bool off_loop, Job job, Out& out) {
  out = co_await inline_or_off_loop(off_loop, std::move(job));
}

// Reads the state file with its version into `read`; a coroutine of its own, as above.
Awaitable<void> read_versioned(VeskStateStore& storage, PartitionId partition, VeskStateStore::Versioned& read) {
  read = co_await storage.get_versioned_partition_state(partition);
}

}  // namespace

Checkpointer::Checkpointer(const ConsumerContext& context, WorkerPool& pool, Handshake& handshake,
                           std::shared_ptr<VeskStateStore> storage, std::shared_ptr<VeskFeed> source,
                           std::optional<PartitionState>& state, std::chrono::steady_clock::duration interval)
    : _context(context),
      _pool(pool),
      _handshake(handshake),
      _storage(std::move(storage)),
      _source(std::move(source)),
      _state(state),
      _interval(interval) {}

std::string Checkpointer::_file() const {
  return _storage->storage_provider->prefix + VeskStateStore::get_partition_state_file_name(_context.partition);
}

Awaitable<PartitionState> Checkpointer::restore() {
  const PartitionId partition = _context.partition;
  VeskStateStore::Versioned read;
  auto reading = read_versioned(*_storage, partition, read);
  if (auto failure = co_await attempt(std::move(reading))) {
    throw std::runtime_error("cannot restore from the state file " + _file() + ": " + error_text(failure));
  }
  std::optional<PartitionState> state = std::move(read.state);
  _file_tag = std::move(read.tag);
  if (!state) {
    _context.logger->info("No state for partition " + std::to_string(partition) + ", starting from offset 0");
    state = PartitionState{partition, 0, Dict{}};
    // Stored before any message is read, unless another owner has made the file meanwhile.
    auto tag = co_await _storage->set_partition_state_if(partition, *state, std::nullopt);
    if (!tag) {
      throw StateFileTakenError("the state file " + _file() + " of partition " + std::to_string(partition) +
                                " was made by another owner while this one started");
    }
    _file_tag = std::move(*tag);
    _stored_offset = 0;
    co_return std::move(*state);
  }
  // A file that belongs elsewhere would move another partition's read position.
  if (state->partition != partition) {
    throw ValueError("the state file " + _file() + " holds partition " + std::to_string(state->partition) +
                     ", not partition " + std::to_string(partition) + " that it was read for");
  }
  if (state->offset < 0) {
    throw ValueError("the state file " + _file() + " of partition " + std::to_string(partition) + " holds offset " +
                     std::to_string(state->offset) + ", below the lowest offset 0");
  }
  _context.logger->info("State found for partition " + std::to_string(partition) + ", starting from offset " +
                        std::to_string(state->offset));
  _stored_offset = state->offset;
  co_return std::move(*state);
}

Awaitable<void> Checkpointer::run() {
  for (;;) {
    co_await sleep(_interval);
    if (_pool.fault()) co_return;
    // Raced against the consumer's faults, so that a worker that ends mid-collection ends the
    // checkpoint too.
    auto task = _context.spawn(checkpoint());
    auto race = _pool.until_fault(task);
    const auto failure = co_await attempt(std::move(race));
    if (!failure) continue;
    _handshake.set_checkpoint_running(false);
    if (_context.metrics) ++_context.metrics->checkpoint_failures;
    if (is_state_file_taken(failure)) {
      // Already said in a warning; the consumer ends without another try.
      _pool.raise_fault(failure);
      co_return;
    }
    // Batches go on; the next interval tries again, unless the consumer has failed.
    _context.logger->error(checkpoint_prefix(_context.partition) + "Error in checkpoint loop: " + error_text(failure) +
                           " " + error_trace(failure));
    if (_pool.fault()) co_return;
  }
}

Awaitable<void> Checkpointer::checkpoint() {
  const std::string prefix = checkpoint_prefix(_context.partition);
  _handshake.set_checkpoint_running(true);
  _context.logger->info(prefix + "Checkpoint started");
  co_await _handshake.wait_collection_allowed();
  _context.logger->info(prefix + "Collecting key states");
  const double collection_start_time = loop_clock();
  if (!_state) {
    throw std::logic_error("partition " + std::to_string(_context.partition) + " has no state in memory yet");
  }
  CollectedKeyStates collected = co_await collect();
  _merge(collected);
  const double collection_end_time = loop_clock();
  const double collection_duration = collection_end_time - collection_start_time;
  _context.logger->info(collected_key_states_text(_context.partition, _state->state.size(), collection_duration));
  const double save_start_time = loop_clock();
  co_await _store();
  const double save_end_time = loop_clock();
  _checkpoint_stored(collection_duration, save_end_time - save_start_time);
}

void Checkpointer::_merge(CollectedKeyStates& collected) {
  const auto whole_answers = static_cast<std::size_t>(std::count(collected.whole.begin(), collected.whole.end(), true));
  if (whole_answers == collected.whole.size()) {
    // From the hand-over on, every key of the partition lives in exactly one worker, so the
    // collected maps together are the whole state: a key that a handler removed is gone.
    _state->state = std::move(collected.states);
  } else if (whole_answers > 0) {
    _replace_whole_answers(collected);
  }
  if (whole_answers > 0) _unsaved_changes = true;
}

void Checkpointer::_replace_whole_answers(CollectedKeyStates& collected) {
  // Workers that answered with their whole map replace every key they own in `_state`; the
  // changes of the others are already in it.
  const DefaultPartitioner partitioner = _pool.partitioner();
  Dict kept;
  kept.reserve(_state->state.size());
  for (auto& [key, value] : _state->state) {
    const auto worker = static_cast<std::size_t>(partitioner(std::string_view(key.as_text())));
    if (!collected.whole[worker]) kept.append_unique(std::move(key), std::move(value));
  }
  kept.update(std::move(collected.states));
  _state->state = std::move(kept);
}

Awaitable<void> Checkpointer::_store() {
  // Nothing changed since the state that is stored, and the offset has not moved: the file
  // already holds exactly this state, so writing it again would only cost the stream. Changes
  // that a failed save left unstored count until a save succeeds.
  const bool unchanged = !_unsaved_changes && _stored_offset == _state->offset;
  if (!unchanged) {
    auto tag = co_await _storage->set_partition_state_if(_context.partition, *_state, _file_tag);
    if (!tag) {
      const std::string text = "partition " + std::to_string(_context.partition) +
                               " was written by another owner since offset " +
                               (_stored_offset ? std::to_string(*_stored_offset) : std::string("none"));
      _context.logger->warn(checkpoint_prefix(_context.partition) + "Checkpoint not stored: " + text);
      throw StateFileTakenError(text);
    }
    _file_tag = std::move(*tag);
  }
  _stored_offset = _state->offset;
  _unsaved_changes = false;
}

void Checkpointer::_checkpoint_stored(double collection_seconds, double save_seconds) {
  if (_source) _source->checkpoint_stored(_context.partition, _state->offset);
  _last_save_seconds = save_seconds;
  ++_checkpoints_stored;
  _handshake.set_checkpoint_running(false);
  if (auto& metrics = _context.metrics) {
    metrics->checkpoint_keys = _state->state.size();
    metrics->checkpoint_collection_seconds = collection_seconds;
    metrics->checkpoint_save_seconds = save_seconds;
    metrics->checkpoint_total_seconds = collection_seconds + save_seconds;
    metrics->stored_offset = _state->offset;
    metrics->stored_at = std::chrono::steady_clock::now();
  }
  _context.logger->info(checkpoint_done_text(_context.partition, collection_seconds, save_seconds));
  _context.offset_stored(_state->offset);
}

Awaitable<CollectedKeyStates> Checkpointer::collect() {
  auto key_states = std::make_shared<CollectedKeyStates>();
  key_states->whole.assign(_pool.size(), false);
  std::vector<Task<void>> collection_tasks;
  collection_tasks.reserve(_pool.size());
  for (std::size_t i = 0; i < _pool.size(); ++i)
    collection_tasks.push_back(_context.spawn(collect_from(i, key_states)));
  auto all = gather(collection_tasks);
  if (auto failure = co_await attempt(std::move(all))) {
    // The other collections still own their channels: wait until they are off them, so that
    // no batch cycle shares a channel with a collection.
    for (auto& task : collection_tasks) {
      auto ended = task.wait();
      (void)co_await attempt(std::move(ended));
    }
    std::rethrow_exception(failure);
  }
  co_return std::move(*key_states);
}

Awaitable<void> Checkpointer::collect_from(std::size_t worker, std::shared_ptr<CollectedKeyStates> key_states) {
  auto connection = co_await _pool.connection(worker);
  std::string encoded;
  auto send = send_collect_request(*connection);
  auto failure = co_await attempt(std::move(send));
  if (!failure) {
    _pool.begin_wait(worker, "collection");
    WorkerPool::WaitEnd wait_end{_pool, worker};
    auto receive = receive_answer(*connection, encoded);
    failure = co_await attempt(std::move(receive));
  }
  if (failure) co_await _pool.fail_channel(worker, failure);
  Event& idle = *key_states->reader_idle;
  while (!idle.is_set()) co_await idle.wait();
  idle.clear();
  struct Reading {
    Event& idle;
    ~Reading() { idle.set(); }
  } reading{idle};
  co_await _read_answer(worker, std::move(encoded), *key_states);
}

Awaitable<void> Checkpointer::_read_answer(std::size_t worker, std::string encoded, CollectedKeyStates& key_states) {
  // Big answers are read on the blocking pool; nothing else touches the state map meanwhile,
  // since no batch cycle runs during a collection. The job holds the consumer.
  const bool big = encoded.size() >= decode_off_loop_bytes;
  auto read = [keep = _context.hold(), into = &_state->state,
               bytes = std::make_shared<std::string>(std::move(encoded))]() {
    return CollectionAnswer::decode_merging(*bytes, *into);
  };
  CollectionAnswer answer;
  auto reading = run_into(big, std::move(read), answer);
  if (auto failure = co_await attempt(std::move(reading))) {
    // Some of its changes may be in the state already, and a removed key's none must not stay.
    _unsaved_changes = true;
    _state->state.erase_if(is_removed);
    rethrow_naming(failure, _pool.describe(worker));
  }
  switch (answer.form) {
    case CollectionAnswer::Form::refusal:
      // A worker that cannot give its states says why in a text; its channel stays in step.
      throw ValueError(_pool.describe(worker) +
                       " answered the collection request with a text instead of its state map: " + answer.refusal);
    case CollectionAnswer::Form::changes:
      key_states.changes += answer.entries;
      if (answer.entries > 0) _unsaved_changes = true;
      if (answer.removed > 0) _state->state.erase_if(is_removed);
      co_return;
    case CollectionAnswer::Form::whole: break;
  }
  key_states.whole[worker] = true;
  Dict& into = key_states.states;
  if (into.empty()) {
    into = std::move(answer.states);
    // Room for the other workers' maps, made before their answers are read.
    const std::size_t workers = _pool.size();
    if (workers > 1 && into.size() >= reserve_ahead_entries) into.reserve(into.size() * workers * 11 / 10);
  } else {
    into.update(std::move(answer.states));
  }
}

}  // namespace vesk::detail

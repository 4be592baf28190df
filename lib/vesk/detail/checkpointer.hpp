#pragma once
// The checkpointer of a partition consumer: restores the partition's stored state at start,
// then every interval collects the workers' key states, merges them into the state in memory
// and stores it over the version of the file that this consumer restored or last wrote.

#include "vesk/detail/consumer_context.hpp"
#include "vesk/detail/worker_pool.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk::detail {

// What the workers of one checkpoint answered. A worker answers with its whole state map, or
// with what changed since its last answer (its hand-over first): the changes are read straight
// into the state in memory as soon as they arrive, so that none is lost when another worker's
// answer fails. Answers are read one at a time, since changes all go into the same map.
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

class Checkpointer {
 public:
  // `state` is the consumer's partition state in memory, which checkpoints merge into.
  Checkpointer(const ConsumerContext& context, WorkerPool& pool, Handshake& handshake,
               std::shared_ptr<VeskStateStore> storage, std::shared_ptr<VeskFeed> source,
               std::optional<PartitionState>& state, std::chrono::steady_clock::duration interval);
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // The stored state to start from, or a fresh one (offset 0, no keys) stored at once.
  Awaitable<PartitionState> restore();
  // A checkpoint every interval, each raced against the pool's faults; a failed one is logged
  // and the next interval tries again, unless the consumer has failed.
  Awaitable<void> run();
  // One checkpoint: waits for the batch cycle to drain, collects, merges, stores.
  Awaitable<void> checkpoint();
  // Asks every worker for its key states at once and reads the answers.
  Awaitable<CollectedKeyStates> collect();
  // Asks `worker` for its key states and reads its answer into `key_states`.
  Awaitable<void> collect_from(std::size_t worker, std::shared_ptr<CollectedKeyStates> key_states);

  // The offset of the state last stored (restored, fresh or checkpointed); none before that.
  const std::optional<Offset>& stored_offset() const noexcept { return _stored_offset; }
  int checkpoints_stored() const noexcept { return _checkpoints_stored; }
  // How long the last checkpoint's save took.
  double last_save_seconds() const noexcept { return _last_save_seconds; }

 private:
  // Stores `_state` over `_file_tag`; StateFileTakenError when another owner wrote meanwhile.
  Awaitable<void> _store();
  // A checkpoint is stored: tells the source and the figures.
  void _checkpoint_stored(double collection_seconds, double save_seconds);
  // Reads one worker's encoded answer: changes go into `_state`, a whole map into `key_states`.
  Awaitable<void> _read_answer(std::size_t worker, std::string encoded, CollectedKeyStates& key_states);
  // Takes the whole maps of the answers into `_state`.
  void _merge(CollectedKeyStates& collected);
  // Mends `_state` with the whole maps that some (not all) workers answered with.
  void _replace_whole_answers(CollectedKeyStates& collected);
  // The full name of the partition's state file, for errors.
  std::string _file() const;

  const ConsumerContext& _context;
  WorkerPool& _pool;
  Handshake& _handshake;
  std::shared_ptr<VeskStateStore> _storage;
  std::shared_ptr<VeskFeed> _source;
  std::optional<PartitionState>& _state;
  std::chrono::steady_clock::duration _interval;
  std::optional<Offset> _stored_offset;
  // Set when collected changes are in `_state` but not yet stored.
  bool _unsaved_changes = false;
  // The version of the state file that this consumer restored or last wrote (none: there was no
  // file). A checkpoint is stored only over that version, so that a consumer whose partition has
  // moved on to another owner cannot put an older offset back.
  std::optional<std::string> _file_tag;
  double _last_save_seconds = 0;
  int _checkpoints_stored = 0;
};

}  // namespace vesk::detail

#include "vesk/detail/batch_cycle.hpp"

#include "vesk/channel/worker_protocol.hpp"
#include "vesk/loop/errors.hpp"

#include <algorithm>
#include <string>

namespace vesk::detail {
namespace {

// --- the batch cycle's frames on a worker channel --------------------------------------------

// The hand-over: the states of the keys that map to `worker`, as one map.
std::string encode_hand_over(const Dict::Entries& entries, const std::vector<std::uint32_t>& target_group,
                             std::uint32_t worker) {
  std::string partition_state;
  worker_protocol::StateHandOver::Writer writer(partition_state);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (target_group[e] == worker) writer.add(entries[e].first.as_text(), entries[e].second);
  }
  writer.finish();
  return partition_state;
}

Awaitable<void> send_hand_over(ChannelConnection& connection, std::string encoded) {
  co_await connection.send_encoded(std::move(encoded));
}

Awaitable<void> send_batch(ChannelConnection& connection, const std::vector<const Message*>& messages) {
  const auto encode = [&messages](std::string& out) { worker_protocol::MessageBatch::encode(out, messages); };
  co_await connection.send_with(encode);
}

// A worker's reply to its batch: Drained, or else the reply's text goes into `odd`.
Awaitable<void> receive_drained(ChannelConnection& connection, std::optional<std::string>& odd) {
  Value response = co_await connection.receive();
  if (worker_protocol::Drained::is(response)) co_return;
  odd = response.is_text() ? response.as_text() : response.repr();
}

// ------------------------------------------------------------------------------------------

// Encoding the hand-over maps moves to the blocking pool from this many entries of the
// partition state, where it would hold up the other partitions' batches for milliseconds.
constexpr std::size_t encode_off_loop_entries = 100000;

}  // namespace

BatchCycle::BatchCycle(const ConsumerContext& context, WorkerPool& pool, Handshake& handshake,
                       std::shared_ptr<VeskFeed> source, std::optional<PartitionState>& state)
    : _context(context), _pool(pool), _handshake(handshake), _source(std::move(source)), _state(state) {}

Awaitable<void> BatchCycle::hand_over(const PartitionState& state) {
  const std::size_t n = _pool.size();
  const DefaultPartitioner partitioner = _pool.partitioner();
  const auto& entries = state.state.entries();
  // The worker of every key; then every worker's map is written straight from the entries.
  auto target_group = std::make_shared<std::vector<std::uint32_t>>(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const Value& key = entries[e].first;
    if (!key.is_text()) throw TypeError("stored state key " + key.repr() + " is not text");
    (*target_group)[e] = static_cast<std::uint32_t>(partitioner(std::string_view(key.as_text())));
  }
  // Every worker's map is encoded at once (on the blocking pool when the state is large), and
  // each is sent as soon as it and the ones before it are ready. The jobs hold the consumer,
  // whose state nobody changes until the hand-over is done.
  const bool off_loop = entries.size() >= encode_off_loop_entries;
  std::vector<Task<std::string>> encodings;
  for (std::size_t i = 0; i < n; ++i) {
    auto job = [keep = _context.hold(), &entries, target_group, worker = static_cast<std::uint32_t>(i)]() {
      return encode_hand_over(entries, *target_group, worker);
    };
    encodings.push_back(Task<std::string>::create(*_context.loop, inline_or_off_loop(off_loop, std::move(job))));
  }
  for (std::size_t i = 0; i < n; ++i) {
    auto connection = co_await _pool.connection(i);
    auto send = send_hand_over(*connection, co_await encodings[i].wait());
    if (auto failure = co_await attempt(std::move(send))) co_await _pool.fail_channel(i, failure);
  }
  _handshake.set_initial_state_sent();
}

Awaitable<void> BatchCycle::run() {
  if (_context.metrics) _context.metrics->progress_at = std::chrono::steady_clock::now();
  const PartitionId partition = _context.partition;
  for (;;) {
    if (_handshake.releasing) co_return;
    co_await _source->seek(*_state);
    std::vector<Message> messages = co_await _source->get_many(partition);
    co_await _handshake.wait_no_checkpoint();
    // Released meanwhile: its last checkpoint holds everything up to here.
    if (_handshake.releasing) co_return;
    if (messages.empty()) continue;
    // From the checkpoint test above to here nothing suspends, so no collection can slip in.
    _handshake.set_all_workers_drained(false);
    co_await _process(messages);
    _source->recycle(partition, std::move(messages));
  }
}

Awaitable<void> BatchCycle::_process(std::vector<Message>& messages) {
  const auto cycle_start = std::chrono::steady_clock::now();
  // Taking a batch is progress too: a partition is stalled only once one batch takes too long.
  if (_context.metrics) _context.metrics->progress_at = cycle_start;
  _context.logger->info("Distributing " + std::to_string(messages.size()) + " messages");
  Offset new_offset = messages.front().offset;
  for (const auto& m : messages) new_offset = std::max(new_offset, m.offset);
  _state->offset = new_offset + 1;
  co_await route(messages);
  co_await drain();
  _handshake.set_all_workers_drained(true);
  if (_context.metrics) {
    const auto now = std::chrono::steady_clock::now();
    _context.metrics->record_batch(messages.size(), _state->offset,
                                   std::chrono::duration<double>(now - cycle_start).count(), now);
  }
  _context.logger->info("Processed " + std::to_string(messages.size()) + " messages");
}

Awaitable<void> BatchCycle::route(const std::vector<Message>& messages) {
  const std::size_t n = _pool.size();
  std::vector<std::vector<const Message*>> key_groups(n);
  for (auto& group : key_groups) group.reserve(messages.size() / n + 1);
  const DefaultPartitioner partitioner = _pool.partitioner();
  for (const auto& message : messages) {
    key_groups[static_cast<std::size_t>(partitioner(message.key))].push_back(&message);
  }
  // Every worker gets exactly one batch, possibly empty; sends do not wait for replies, so all
  // workers process their shares at the same time.
  for (std::size_t i = 0; i < n; ++i) {
    auto connection = co_await _pool.connection(i);
    auto send = send_batch(*connection, key_groups[i]);
    if (auto failure = co_await attempt(std::move(send))) co_await _pool.fail_channel(i, failure);
  }
}

Awaitable<void> BatchCycle::drain() {
  const std::size_t n = _pool.size();
  for (std::size_t i = 0; i < n; ++i) _pool.begin_wait(i, "drain");
  std::size_t failed_worker = 0;
  std::exception_ptr first_failure;
  for (std::size_t i = 0; i < n; ++i) {
    auto connection = co_await _pool.connection(i);
    std::optional<std::string> odd;
    std::exception_ptr failure;
    {
      WorkerPool::WaitEnd wait_end{_pool, i};
      auto receive = receive_drained(*connection, odd);
      failure = co_await attempt(std::move(receive));
    }
    if (odd) _context.logger->warn("Worker " + std::to_string(i) + " sent unexpected response: " + *odd);
    if (!failure) continue;
    _context.logger->error("Error waiting for worker " + std::to_string(i) + " to drain: " + error_text(failure));
    // The other workers still answer this batch; then the consumer fails, to start again from
    // its checkpoint with a fresh channel.
    _pool.retire_channel(i);
    if (!first_failure) {
      first_failure = failure;
      failed_worker = i;
    }
  }
  if (first_failure) co_await _pool.fail_channel(failed_worker, first_failure);
}

}  // namespace vesk::detail

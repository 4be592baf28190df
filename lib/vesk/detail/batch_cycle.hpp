#pragma once
// The batch cycle of a partition consumer: positions the source, reads a batch, routes every
// message to the worker its key maps to, and waits until every worker has drained its share.
// Before the first batch it hands every worker its initial state map, the first value on every
// channel.

#include "vesk/detail/consumer_context.hpp"
#include "vesk/detail/worker_pool.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"

#include <memory>
#include <optional>
#include <vector>

namespace vesk::detail {

class BatchCycle {
 public:
  // `state` is the consumer's partition state in memory: each batch sets its offset.
  BatchCycle(const ConsumerContext& context, WorkerPool& pool, Handshake& handshake, std::shared_ptr<VeskFeed> source,
             std::optional<PartitionState>& state);
  BatchCycle(const BatchCycle&) = delete;
  BatchCycle& operator=(const BatchCycle&) = delete;

  // Sends every worker the states of the keys that map to it.
  Awaitable<void> hand_over(const PartitionState& state);
  // Reads and processes batches until released; any failure ends it.
  Awaitable<void> run();
  // Sends every worker exactly one batch (possibly empty) of the messages that map to it, in
  // their order, without waiting for replies.
  Awaitable<void> route(const std::vector<Message>& messages);
  // Reads every worker's reply to its batch. An odd reply is a warning; a failed receive is an
  // error line, the other workers are still read, then the consumer fails.
  Awaitable<void> drain();

 private:
  // One cycle over a batch that is not empty: route, drain, count.
  Awaitable<void> _process(std::vector<Message>& messages);

  const ConsumerContext& _context;
  WorkerPool& _pool;
  Handshake& _handshake;
  std::shared_ptr<VeskFeed> _source;
  std::optional<PartitionState>& _state;
};

}  // namespace vesk::detail

// How a partition consumer lets its partition go: the batch in flight ends, one last checkpoint
// is stored within a deadline, then the consumer is disposed.
#include "vesk/partition_consumer.hpp"

#include "vesk/detail/checkpoint_texts.hpp"
#include "vesk/detail/checkpointer.hpp"
#include "vesk/detail/consumer_context.hpp"
#include "vesk/detail/state_file_taken.hpp"
#include "vesk/detail/worker_pool.hpp"
#include "vesk/loop/errors.hpp"

#include <string>

namespace vesk {

Awaitable<void> Vesk::PartitionConsumer::release(std::chrono::steady_clock::duration deadline) {
  if (_disposed) co_return;
  auto keep = shared_from_this();
  const std::string prefix = checkpoint_prefix(_partition);
  auto last = Task<bool>::create(*_context->loop, _final_checkpoint());
  const bool ended = co_await wait_for(last, deadline);
  const auto releasing = [&] {
    const auto& stored = _checkpointer->stored_offset();
    return "; releasing partition " + std::to_string(_partition) + " from its last checkpoint at offset " +
           (stored ? std::to_string(*stored) : std::string("none"));
  };
  if (!ended) {
    last.cancel();
    _logger->warn(prefix + "Final checkpoint before release not stored within " +
                  three_decimals(std::chrono::duration<double>(deadline).count()) + " s" + releasing());
  } else if (last.failed() || last.cancelled()) {
    const auto failure = last.error();
    // A refused write has had its own warning.
    if (!failure || !is_state_file_taken(failure)) {
      _logger->warn(prefix + "Final checkpoint before release failed: " +
                    (failure ? error_text(failure) : std::string("cancelled")) + releasing());
    }
  } else if (last.result()) {
    _logger->info(prefix + "Final checkpoint before release: offset " + std::to_string(_state->offset) + ", saved in " +
                  three_decimals(_checkpointer->last_save_seconds()) + " s");
  }
  dispose();
}

Awaitable<bool> Vesk::PartitionConsumer::_final_checkpoint() {
  _handshake->releasing = true;
  // A consumer that failed, or never handed its workers their states, has nothing newer than
  // the file.
  if (_pool->fault() || !_state || !_handshake->initial_state_sent()) co_return false;
  // A periodic checkpoint in flight ends first; the loop is stopped the moment none runs, so
  // that no other collection shares the workers' channels with this one.
  while (_is_checkpoint_task_running) co_await wait_for_checkpoint_task();
  _checkpoint_task.cancel();
  if (_pool->fault()) co_return false;
  auto checkpoint = _context->spawn(_do_checkpoint());
  co_await _pool->until_fault(checkpoint);
  co_return true;
}

}  // namespace vesk

#pragma once
// Waiting for checkpoints in end-to-end tests: until every partition's stored offset is reached.

#include "loop/errors.hpp"
#include "loop/task.hpp"
#include "vesk_state_store/vesk_state_store.hpp"

#include <chrono>
#include <exception>

namespace vesk::testing {

// True once partitions 0..partitions-1 all have `offset` stored, false after `limit`. A failed
// read counts as "not yet", so that the wait rides out a storage outage.
inline Awaitable<bool> stored_offsets_reach(VeskStateStore& store, int partitions, Offset offset,
                                            std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    bool all = true;
    for (PartitionId p = 0; p < partitions && all; ++p) {
      try {
        auto state = co_await store.get_partition_state(p);
        all = state && state->offset == offset;
      } catch (const std::exception&) {
        rethrow_if_cancellation(std::current_exception());
        all = false;
      }
    }
    if (all) co_return true;
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await sleep(std::chrono::milliseconds(50));
  }
}

}  // namespace vesk::testing

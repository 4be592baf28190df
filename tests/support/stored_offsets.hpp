#pragma once
// Checkpoints in end-to-end tests: waiting until every partition's stored offset is reached,
// and checking what examples.counting.KeyCounter stored.

#include "vesk/loop/errors.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

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

// Expects each of partitions 0..partitions-1 to have `offset` stored with `keys` keys, each key
// "key-<k>" in partition k % partitions and counted `count` times.
inline void expect_key_counts(EventLoop& loop, VeskStateStore& store, int partitions, Offset offset, std::size_t keys,
                              std::int64_t count) {
  for (PartitionId p = 0; p < partitions; ++p) {
    auto state = loop.run_until_complete(store.get_partition_state(p));
    ASSERT_TRUE(state) << "partition " << p;
    EXPECT_EQ(state->offset, offset) << "partition " << p;
    EXPECT_EQ(state->state.size(), keys) << "partition " << p;
    for (const auto& [key, counted] : state->state) {
      EXPECT_EQ(std::stoi(key.as_text().substr(4)) % partitions, p) << key.as_text();
      EXPECT_EQ(counted, Value(count)) << key.as_text();
    }
  }
}

}  // namespace vesk::testing

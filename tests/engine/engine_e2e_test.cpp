// The whole engine with real worker processes, the in-memory source, files on disk and the
// examples.counting handlers: exact counts, resuming, re-spreading keys over more workers, a
// worker killed mid-stream, and no process left behind.
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk.hpp"

#include "engine_fixture.hpp"
#include "engine_run.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

class EndToEnd : public vesk::testing::EngineFixture {};

// Message i has key "key-<i % 300>", and key k lives in partition k % 3.
void produce(VeskMemoryFeed& feed, int from, int to) {
  for (int i = from; i < to; ++i) {
    int k = i % 300;
    feed.produce(k % 3, "key-" + std::to_string(k), "m" + std::to_string(i), i);
  }
}

// Runs an engine until every partition's stored offset is `offset`, then stops it and the feed.
Awaitable<void> run_engine_until(EndToEnd& t, std::shared_ptr<VeskMemoryFeed> feed,
                                 std::shared_ptr<vesk::StreamHandlerBase> handler, int workers, vesk::Offset offset) {
  const int partitions = feed->partitions();
  vesk::testing::EngineRun run{t.log.logger(), t.backend, *t.store, partitions, workers};
  run.limit = 30s;
  run.before_stop = [partitions](const Vesk& engine) {
    EXPECT_EQ(engine._partition_consumers.size(), static_cast<std::size_t>(partitions));
  };
  EXPECT_TRUE(co_await vesk::testing::run_engine_until(run, std::move(feed), std::move(handler), offset));
  EXPECT_TRUE(co_await t.no_children_left());
}

TEST_F(EndToEnd, CountsAreExactAndASecondEngineResumesWithMoreWorkers) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 3, 200ms);
  produce(*feed, 0, 30000);
  auto counter = handler("examples.counting.KeyCounter");
  loop.run_until_complete(run_engine_until(*this, feed, counter, 2, 10000));
  vesk::testing::expect_key_counts(loop, *store, 3, 10000, 100, 100);

  // More messages, and the state moves to three workers per partition.
  produce(*feed, 30000, 33000);
  log.clear();
  loop.run_until_complete(run_engine_until(*this, feed, counter, 3, 11000));
  for (PartitionId p = 0; p < 3; ++p) EXPECT_TRUE(log.contains(vesk::testing::resume_line(p, 10000)));
  vesk::testing::expect_key_counts(loop, *store, 3, 11000, 100, 110);
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
}

TEST_F(EndToEnd, AWorkerKilledMidStreamLosesNoMessage) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 1, 200ms);
  constexpr int total = 6000;
  loop.run_until_complete([](EndToEnd& t, std::shared_ptr<VeskMemoryFeed> feed) -> Awaitable<void> {
    Vesk engine(t.log.logger(), t.backend, 2, 200ms);
    engine.source(feed).process(handler("examples.counting.OffsetLog"));
    engine.start();
    EXPECT_TRUE(co_await eventually([&] { return engine._partition_consumers.size() == 1; }));
    auto first = *engine._partition_consumers.find(0);
    bool killed = false;
    for (int i = 0; i < total; i += 100) {
      for (int j = i; j < i + 100; ++j) feed->produce(0, "key-" + std::to_string(j % 60), "v", j);
      co_await vesk::sleep(20ms);
      if (!killed && i >= total / 2 && first->_state && first->_state->offset > 0) {
        ::kill(first->_worker_processes[0].process->pid(), SIGKILL);
        killed = true;
      }
    }
    EXPECT_TRUE(killed);
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, total, 30s));
    EXPECT_NE(*engine._partition_consumers.find(0), first);
    co_await engine.stop();
    co_await feed->stop();
    EXPECT_TRUE(co_await t.no_children_left());
  }(*this, feed));

  EXPECT_EQ(log.count_starting_with("Error in partition consumer 0: "), 1u);
  auto state = loop.run_until_complete(store->get_partition_state(0));
  ASSERT_TRUE(state);
  std::set<std::int64_t> seen;
  for (const auto& [key, offsets] : state->state) {
    for (const auto& o : offsets.as_list()) seen.insert(o.as_int());
  }
  for (std::int64_t o = 0; o < total; ++o) {
    if (!seen.count(o)) {
      ADD_FAILURE() << "offset " << o << " is missing from the stored state";
      break;
    }
  }
}

TEST_F(EndToEnd, StopStoresWhatWasProcessedSinceTheLastCheckpointWithinItsDeadline) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 3, 200ms);
  produce(*feed, 0, 600);
  loop.run_until_complete([](EndToEnd& t, std::shared_ptr<VeskMemoryFeed> feed) -> Awaitable<void> {
    // No periodic checkpoint comes before the stop.
    Vesk engine(t.log.logger(), t.backend, 2, 600s);
    engine.release_deadline = 1s;
    engine.source(feed).process(handler("examples.counting.KeyCounter"));
    engine.start();
    EXPECT_TRUE(co_await eventually([&] {
      const auto m = engine.metrics();
      return m.partitions.size() == 3 && std::all_of(m.partitions.begin(), m.partitions.end(),
                                                     [](const auto& p) { return p.metrics.offset == 200; });
    }));
    // Partition 1 cannot answer its collection: it is let go at its deadline, from its file.
    auto stuck = *engine._partition_consumers.find(1);
    ::kill(stuck->_worker_processes[0].process->pid(), SIGSTOP);
    const auto began = std::chrono::steady_clock::now();
    co_await engine.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    co_await feed->stop();
    EXPECT_TRUE(co_await t.no_children_left());
  }(*this, feed));
  auto has = [&](const std::string& start) { return log.count_starting_with(start) == 1; };
  EXPECT_TRUE(has("[p0] Final checkpoint before release: offset 200, saved in "));
  EXPECT_TRUE(has("[p2] Final checkpoint before release: offset 200, saved in "));
  EXPECT_TRUE(
      has("[p1] Final checkpoint before release not stored within 1.000 s; releasing partition 1 from its "
          "last checkpoint at offset 0"));
  EXPECT_EQ(loop.run_until_complete(store->get_partition_state(0))->offset, 200);
  EXPECT_EQ(loop.run_until_complete(store->get_partition_state(1))->offset, 0);
}

TEST_F(EndToEnd, RestoredKeysLandOnTheWorkerThatReceivesTheirMessages) {
  // Stored by two workers' worth of keys; three workers now, and every key gets one more message.
  vesk::Dict counts;
  for (int k = 0; k < 50; ++k) counts.set("key-" + std::to_string(k), 7);
  loop.run_until_complete(store->set_partition_state(0, PartitionState{0, 1000, counts}));
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 1, 200ms);
  std::vector<vesk::Message> more;
  for (int k = 0; k < 50; ++k) more.push_back(vesk::Message{"key-" + std::to_string(k), "v", 0, 1000 + k});
  feed->append(0, std::move(more));
  loop.run_until_complete(run_engine_until(*this, feed, handler("examples.counting.KeyCounter"), 3, 1050));
  auto state = loop.run_until_complete(store->get_partition_state(0));
  for (const auto& [key, count] : state->state) EXPECT_EQ(count, vesk::Value(8)) << key.as_text();
}

TEST_F(EndToEnd, TheCheckpointObserverHearsTheRestoredAndEveryStoredOffsetAndMayThrow) {
  loop.run_until_complete(store->set_partition_state(0, PartitionState{0, 1000, vesk::Dict{}}));
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 1, 200ms);
  std::vector<vesk::Message> more;
  for (int i = 1000; i < 1050; ++i) more.push_back(vesk::Message{"key-" + std::to_string(i % 7), "v", 0, i});
  feed->append(0, std::move(more));
  std::vector<std::pair<PartitionId, vesk::Offset>> heard;
  vesk::testing::EngineRun run{log.logger(), backend, *store, 1};
  run.before_start = [&heard](Vesk& engine) {
    engine.on_checkpoint_stored([&heard](PartitionId partition, vesk::Offset offset) {
      heard.emplace_back(partition, offset);
      throw std::runtime_error("observer broke");
    });
  };
  EXPECT_TRUE(loop.run_until_complete(
      vesk::testing::run_engine_until(run, feed, handler("examples.counting.KeyCounter"), 1050)));
  ASSERT_GE(heard.size(), 2u);
  EXPECT_EQ(heard.front(), std::make_pair(PartitionId{0}, vesk::Offset{1000}));
  EXPECT_EQ(heard.back(), std::make_pair(PartitionId{0}, vesk::Offset{1050}));
  EXPECT_TRUE(log.contains("The checkpoint observer failed for partition 0: observer broke"));
  EXPECT_EQ(log.count_starting_with("[p0] Error"), 0u);
}

// Workers answer collections with only what changed; the stored file must still be the whole
// state. Each wave touches a third of the keys, checkpoints fall between waves, and a second
// engine resumes: every key's log must hold each of its offsets exactly once, in order.
TEST_F(EndToEnd, CheckpointsOfChangesOnlyKeepEveryKeysWholeLogAcrossARestart) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), 1, 200ms);
  constexpr int keys = 60;
  constexpr int per_wave = 300;
  std::map<std::string, std::vector<std::int64_t>> expected;
  auto wave = [&](int w) {
    for (int j = 0; j < per_wave; ++j) {
      const int i = w * per_wave + j;
      const std::string key = "key-" + std::to_string((j % (keys / 3)) * 3 + w % 3);
      feed->produce(0, key, "v", i);
      expected[key].push_back(i);
    }
  };
  auto run = [](EndToEnd& t, std::shared_ptr<VeskMemoryFeed> feed, std::function<void(int)> wave, int from,
                int to) -> Awaitable<void> {
    Vesk engine(t.log.logger(), t.backend, 2, 100ms);
    engine.source(feed).process(handler("examples.counting.OffsetLog"));
    engine.start();
    for (int w = from; w < to; ++w) {
      wave(w);
      EXPECT_TRUE(co_await t.stored_offsets_reach(1, (w + 1) * per_wave, 30s));
    }
    co_await engine.stop();
  };
  loop.run_until_complete(run(*this, feed, wave, 0, 4));
  loop.run_until_complete(run(*this, feed, wave, 4, 8));
  EXPECT_TRUE(log.contains("State found for partition 0, starting from offset " + std::to_string(4 * per_wave)));
  loop.run_until_complete(feed->stop());
  auto state = loop.run_until_complete(store->get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state.size(), static_cast<std::size_t>(keys));
  for (const auto& [key, offsets] : expected) {
    const vesk::Value* stored = state->state.find_text(key);
    ASSERT_NE(stored, nullptr) << key;
    std::vector<std::int64_t> got;
    for (const auto& o : stored->as_list()) got.push_back(o.as_int());
    EXPECT_EQ(got, offsets) << key;
  }
}

TEST(WorkerProgram, FoundInTheBuildTreeWithoutTheVariableAndOverriddenByIt) {
  std::optional<ScopedEnv> unset;
  unset.emplace("VESK_WORKER_PROGRAM", "");
  auto found = vesk::WorkerProcess::program_path();
  EXPECT_EQ(std::filesystem::path(found).filename(), "vesk_worker_host");
  EXPECT_TRUE(std::filesystem::equivalent(found, VESK_TEST_WORKER_PROGRAM)) << found;
  unset.reset();
  ScopedEnv chosen("VESK_WORKER_PROGRAM", "/opt/elsewhere/worker");
  EXPECT_EQ(vesk::WorkerProcess::program_path(), "/opt/elsewhere/worker");
}

}  // namespace

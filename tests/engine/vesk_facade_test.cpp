// The engine facade, its connect loop and its assignment listener. Partition consumers here run
// a stand-in worker program that never connects, so no channel is ever connected: the consumers
// only restore their state and wait, which is all these tests need of them.
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk.hpp"

#include "engine_test_support.hpp"
#include "fake_feed.hpp"
#include "log_capture.hpp"
#include "vesk/detail/checkpoint_texts.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

using Clock = std::chrono::steady_clock;

class EngineTest : public ::testing::Test {
 protected:
  ScopedEnv worker_program{"VESK_WORKER_PROGRAM", VESK_TEST_IDLE_WORKER};
  EventLoop loop;
  LogCapture log;
  std::shared_ptr<MemoryBackend> backend = std::make_shared<MemoryBackend>();
  std::shared_ptr<FakeFeed> feed = std::make_shared<FakeFeed>();

  std::unique_ptr<Vesk> make_engine() { return std::make_unique<Vesk>(log.logger(), backend, 2, 60s); }

  void run(std::chrono::milliseconds d) { loop.run_until_complete(vesk::sleep(d)); }
  std::vector<std::string> info() const { return log.texts(spdlog::level::info); }
};

TEST_F(EngineTest, NewEngineIsStoppedAndEmpty) {
  EXPECT_EQ(static_cast<int>(Vesk::State::STOPPED), 1);
  EXPECT_EQ(static_cast<int>(Vesk::State::CONNECTING), 2);
  EXPECT_EQ(static_cast<int>(Vesk::State::CONSUMING), 3);
  auto engine = make_engine();
  EXPECT_EQ(engine->_state, Vesk::State::STOPPED);
  EXPECT_FALSE(engine->_state_task);
  EXPECT_EQ(engine->_source, nullptr);
  EXPECT_EQ(engine->_stream_handler, nullptr);
  EXPECT_TRUE(engine->_partition_consumers.empty());
  EXPECT_EQ(engine->_workers_per_partition, 2);
  EXPECT_EQ(engine->_checkpoint_interval, 60s);
  EXPECT_EQ(engine->_storage->storage_provider, backend);
}

TEST_F(EngineTest, RefusesAWorkerCountBelowOneAndANonPositiveInterval) {
  try {
    Vesk engine(log.logger(), backend, 0, 1s);
    FAIL() << "a worker count of 0 was accepted";
  } catch (const vesk::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("workers_per_partition"), std::string::npos) << e.what();
  }
  EXPECT_THROW(Vesk(log.logger(), backend, -3, 1s), vesk::ValueError);
  EXPECT_THROW(Vesk(log.logger(), backend, 1, 0s), vesk::ValueError);
  Vesk fractional(log.logger(), backend, 1, std::chrono::duration<double>(0.25));
  EXPECT_EQ(fractional._checkpoint_interval, 250ms);
}

TEST_F(EngineTest, SettersReturnTheEngineAndSourceGetsABoundListener) {
  auto engine = make_engine();
  EXPECT_EQ(&engine->source(feed), engine.get());
  EXPECT_EQ(&engine->process(nullptr), engine.get());
  auto listener = std::dynamic_pointer_cast<Vesk::AssignmentListener>(feed->listener());
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(listener->_vesk, engine.get());
  EXPECT_EQ(engine->_source, feed);
}

TEST_F(EngineTest, StartWithoutARunningLoopChangesNothing) {
  auto engine = make_engine();
  EXPECT_THROW(engine->start(), vesk::NoRunningLoopError);
  EXPECT_EQ(engine->_state, Vesk::State::STOPPED);
  EXPECT_FALSE(engine->_state_task);
}

TEST_F(EngineTest, CleanStartStopsTheSourceFirstAndEndsConsuming) {
  auto engine = make_engine();
  engine->source(feed);
  loop.run_until_complete([](Vesk& engine) -> Awaitable<void> {
    engine.start();
    EXPECT_EQ(engine._state, Vesk::State::CONNECTING);
    co_await engine._state_task.wait();
  }(*engine));
  EXPECT_EQ(feed->calls, (std::vector<std::string>{"stop", "start"}));
  EXPECT_EQ(info(), (std::vector<std::string>{"Connecting to source...", "Source started"}));
  EXPECT_EQ(engine->_state, Vesk::State::CONSUMING);
  EXPECT_TRUE(engine->_state_task.done());
  EXPECT_FALSE(engine->_state_task.failed());
}

TEST_F(EngineTest, WithoutASourceEveryAttemptFailsUntilOneIsSet) {
  auto engine = make_engine();
  loop.run_until_complete([](Vesk& engine, LogCapture& log, std::shared_ptr<FakeFeed> feed) -> Awaitable<void> {
    engine.start();
    co_await vesk::sleep(1500ms);
    EXPECT_EQ(engine._state, Vesk::State::CONNECTING);
    auto errors = log.texts(spdlog::level::err);
    EXPECT_EQ(errors.size(), 2u);
    for (const auto& e : errors) EXPECT_EQ(e.rfind("Error in Vesk _run: ", 0), 0u) << e;
    EXPECT_EQ(log.count_starting_with("Connecting to source..."), 2u);
    engine.source(feed);
    EXPECT_TRUE(co_await eventually([&] { return engine._state == Vesk::State::CONSUMING; }, 2s));
  }(*engine, log, feed));
  EXPECT_EQ(log.texts().back(), "Source started");
  EXPECT_EQ(feed->calls, (std::vector<std::string>{"stop", "start"}));
}

TEST_F(EngineTest, FailingStartsAreRetriedEverySecondAndConsumersDisposedBeforeEachAttempt) {
  auto engine = make_engine();
  engine->source(feed);
  feed->failing_starts = 2;
  std::vector<std::size_t> consumers_at_start;
  std::vector<Clock::time_point> start_times;
  feed->on_start = [&] {
    consumers_at_start.push_back(engine->_partition_consumers.size());
    start_times.push_back(Clock::now());
    // Each attempt leaves a consumer behind, which the next attempt must dispose first.
    feed->listener()->on_partitions_assigned({7});
  };
  loop.run_until_complete([](Vesk& engine) -> Awaitable<void> {
    engine.start();
    co_await engine._state_task.wait();
  }(*engine));
  EXPECT_EQ(consumers_at_start, (std::vector<std::size_t>{0, 0, 0}));
  ASSERT_EQ(start_times.size(), 3u);
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(start_times[i] - start_times[i - 1], 950ms);
    EXPECT_LT(start_times[i] - start_times[i - 1], 2000ms);
  }
  EXPECT_EQ(log.texts(spdlog::level::err), (std::vector<std::string>{"Error in Vesk _run: broker unreachable",
                                                                     "Error in Vesk _run: broker unreachable"}));
  EXPECT_EQ(log.count_starting_with("Source started"), 1u);
  EXPECT_EQ(log.count_starting_with("Connecting to source..."), 3u);
  EXPECT_EQ(engine->_state, Vesk::State::CONSUMING);
  EXPECT_EQ(engine->_partition_consumers.keys(), (std::vector<PartitionId>{7}));
}

TEST_F(EngineTest, StopDuringTheRetryWaitEndsTheLoopAndLeavesTheSourceAlone) {
  auto engine = make_engine();
  engine->source(feed);
  feed->always_fail = true;
  loop.run_until_complete([](Vesk& engine, LogCapture& log) -> Awaitable<void> {
    engine.start();
    co_await eventually([&] { return log.count_starting_with("Error in Vesk _run: ") == 1; });
    co_await engine.stop();
    EXPECT_EQ(engine._state, Vesk::State::STOPPED);
    co_await vesk::sleep(1300ms);
    EXPECT_TRUE(engine._state_task.cancelled());
  }(*engine, log));
  EXPECT_EQ(feed->calls, (std::vector<std::string>{"stop", "start"}));
  EXPECT_EQ(log.texts().size(), 2u);
}

TEST_F(EngineTest, StopPartitionConsumerDisposesAndForgets) {
  auto engine = make_engine();
  engine->source(feed);
  loop.run_until_complete([](Vesk& engine, std::shared_ptr<FakeFeed> feed) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({2, 0, 1});
    EXPECT_EQ(engine._partition_consumers.keys(), (std::vector<PartitionId>{2, 0, 1}));
    auto first = *engine._partition_consumers.find(2);
    engine.stop_partition_consumer(5);  // not there: nothing happens
    engine.stop_partition_consumer(2);
    EXPECT_TRUE(first->disposed());
    EXPECT_EQ(engine._partition_consumers.keys(), (std::vector<PartitionId>{0, 1}));
    std::vector<std::shared_ptr<Vesk::PartitionConsumer>> rest;
    for (const auto& [p, c] : engine._partition_consumers) rest.push_back(c);
    engine.stop_all_partition_consumers();
    EXPECT_TRUE(engine._partition_consumers.empty());
    for (const auto& c : rest) EXPECT_TRUE(c->disposed());
    co_return;
  }(*engine, feed));
}

TEST_F(EngineTest, ADestroyedEngineLeavesItsListenerInert) {
  auto engine = make_engine();
  engine->source(feed);
  loop.run_until_complete([](std::shared_ptr<FakeFeed> feed) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({0});
    co_return;
  }(feed));
  engine.reset();
  log.clear();
  loop.run_until_complete([](std::shared_ptr<FakeFeed> feed) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({1});
    feed->listener()->on_partitions_revoked({0});
    co_await vesk::sleep(50ms);
  }(feed));
  EXPECT_TRUE(log.texts().empty());
}

// --- the assignment listener -------------------------------------------------------------------

TEST_F(EngineTest, EmptyListsOnlyLogTheirCount) {
  auto engine = make_engine();
  engine->source(feed);
  loop.run_until_complete([](std::shared_ptr<FakeFeed> feed) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({});
    feed->listener()->on_partitions_revoked({});
    feed->listener()->on_partitions_revoked({2});
    co_return;
  }(feed));
  EXPECT_EQ(info(),
            (std::vector<std::string>{"Partitions assigned: 0", "Partitions revoked: 0", "Partitions revoked: 1"}));
  EXPECT_TRUE(engine->_partition_consumers.empty());
}

TEST_F(EngineTest, AssignedWithoutARunningLoopFailsAfterItsLineAndChangesNothing) {
  auto engine = make_engine();
  engine->source(feed);
  EXPECT_THROW(feed->listener()->on_partitions_assigned({0}), vesk::NoRunningLoopError);
  EXPECT_EQ(info(), (std::vector<std::string>{"Partitions assigned: 1"}));
  EXPECT_TRUE(engine->_partition_consumers.empty());
}

TEST_F(EngineTest, ReassignmentReplacesTheConsumerAndItsWatcherEndsQuietly) {
  auto engine = make_engine();
  engine->source(feed);
  loop.run_until_complete([](Vesk& engine, std::shared_ptr<FakeFeed> feed, LogCapture& log) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({1});
    auto old = *engine._partition_consumers.find(1);
    co_await vesk::sleep(50ms);
    feed->listener()->on_partitions_assigned({0, 1});
    EXPECT_TRUE(old->disposed());
    EXPECT_EQ(engine._partition_consumers.keys(), (std::vector<PartitionId>{0, 1}));
    EXPECT_NE(*engine._partition_consumers.find(1), old);
    EXPECT_EQ((*engine._partition_consumers.find(1))->_partition, 1);
    co_await vesk::sleep(100ms);
    EXPECT_TRUE(old->_task.cancelled());
    feed->listener()->on_partitions_revoked({1, 0});
    EXPECT_TRUE(engine._partition_consumers.empty());
    co_await vesk::sleep(50ms);
    EXPECT_TRUE(log.texts(spdlog::level::err).empty());
  }(*engine, feed, log));
  EXPECT_EQ(info(),
            (std::vector<std::string>{"Partitions assigned: 1", "No state for partition 1, starting from offset 0",
                                      "Partitions assigned: 2", "No state for partition 0, starting from offset 0",
                                      "State found for partition 1, starting from offset 0", "Partitions revoked: 2"}));
}

TEST_F(EngineTest, AFailedConsumerIsLoggedOnceAndReplacedFromTheEngineFields) {
  auto engine = make_engine();
  engine->source(feed);
  backend->before_get = [this](const std::string&) -> Awaitable<void> {
    if (backend->gets == 1) throw std::runtime_error("storage unavailable");
    co_return;
  };
  loop.run_until_complete([](Vesk& engine, std::shared_ptr<FakeFeed> feed, LogCapture& log) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({3});
    auto failing = *engine._partition_consumers.find(3);
    engine._workers_per_partition = 3;  // the replacement is built from the fields as they are now
    // Between the failure and the replacement the partition waits out its back-off, with no consumer.
    EXPECT_TRUE(co_await eventually([&] {
      auto* now = engine._partition_consumers.find(3);
      return now != nullptr && *now != failing;
    }));
    co_await vesk::sleep(100ms);
    EXPECT_TRUE(failing->disposed());
    auto fresh = *engine._partition_consumers.find(3);
    EXPECT_EQ(fresh->_workers_per_partition, 3);
    EXPECT_EQ(fresh->_worker_processes.size(), 3u);
    EXPECT_FALSE(fresh->_task.done());
    auto errors = log.texts(spdlog::level::err);
    EXPECT_EQ(errors.size(), 1u);
    if (!errors.empty()) {
      EXPECT_EQ(
          errors[0].rfind(
              "Error in partition consumer 3: cannot restore from the state file p-3.state.pkl: storage unavailable ",
              0),
          0u)
          << errors[0];
    }
  }(*engine, feed, log));
}

TEST_F(EngineTest, AConsumerFailingAfterItsPartitionLeftTheMapIsNotReplaced) {
  auto engine = make_engine();
  engine->source(feed);
  bool release = false;
  backend->before_get = [&release](const std::string&) -> Awaitable<void> {
    while (!release) co_await vesk::sleep(5ms);
    throw std::runtime_error("storage unavailable");
  };
  loop.run_until_complete([](Vesk& engine, std::shared_ptr<FakeFeed> feed, bool& release) -> Awaitable<void> {
    feed->listener()->on_partitions_assigned({0});
    auto consumer = *engine._partition_consumers.find(0);
    // Out of the map without disposal, so its run task still fails rather than being cancelled.
    engine._partition_consumers.erase(0);
    release = true;
    EXPECT_TRUE(co_await eventually([&] { return consumer->_task.done(); }));
    EXPECT_TRUE(consumer->_task.failed());
    co_await vesk::sleep(100ms);
    EXPECT_TRUE(engine._partition_consumers.empty());
    consumer->dispose();
  }(*engine, feed, release));
  EXPECT_TRUE(log.texts(spdlog::level::err).empty());
}

// --- log texts ------------------------------------------------------------------------------------

TEST(CheckpointTexts, DurationsHaveExactlyThreeDecimals) {
  EXPECT_EQ(vesk::three_decimals(0.0123), "0.012");
  EXPECT_EQ(vesk::three_decimals(0.25), "0.250");
  EXPECT_EQ(vesk::three_decimals(0.5), "0.500");
  EXPECT_EQ(vesk::three_decimals(12.0), "12.000");
  EXPECT_EQ(vesk::checkpoint_done_text(1, 0.0123, 0.25),
            "[p1] Checkpoint done - collected in 0.012s, saved in 0.250s, total: 0.262s");
  EXPECT_EQ(vesk::collected_key_states_text(4, 300, 0.0016), "[p4] Collected 300 key states in 0.002s");
}

}  // namespace

// The engine driven into faults that persist until the test removes their cause: a corrupt or
// foreign state file, a worker program that is missing, ends at once or never connects, a worker
// killed while idle or stopped mid-batch, and a key its handler removed. Each time the engine
// must say so in its log, keep the partition from spinning, make progress again once the cause
// is gone, and leave no process behind.
#include "vesk/vesk.hpp"

#include "engine_fixture.hpp"
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <regex>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

class EngineFault : public vesk::testing::EngineFixture {
 public:
  std::shared_ptr<VeskMemoryFeed> feed;
  std::unique_ptr<Vesk> engine;
  std::optional<ScopedEnv> program;  // replaces the worker program while set

  // An engine with one worker per partition and a short checkpoint interval, not yet started.
  void make_engine(int partitions, const std::string& handler_path = "examples.counting.KeyCounter") {
    feed = std::make_shared<VeskMemoryFeed>(log.logger(), partitions, 100ms);
    engine = std::make_unique<Vesk>(log.logger(), backend, 1, 200ms);
    engine->source(feed).process(handler(handler_path));
  }

  // Ten messages per partition, keys "key-0" … "key-4".
  void produce_ten() {
    for (PartitionId p = 0; p < feed->partitions(); ++p) {
      for (int i = 0; i < 10; ++i) feed->produce(p, "key-" + std::to_string(i % 5), "v");
    }
  }

  void write_file(const std::string& name, const std::string& bytes) {
    std::ofstream(directory / name, std::ios::binary) << bytes;
  }

  pid_t worker_pid(PartitionId partition) {
    return (*engine->_partition_consumers.find(partition))->_worker_processes[0].process->pid();
  }

  // Stops the engine and the feed, then expects every worker to be gone.
  Awaitable<void> shut_down() {
    co_await engine->stop();
    co_await feed->stop();
    EXPECT_TRUE(co_await no_children_left());
  }

  std::vector<double> retry_delays(PartitionId partition) const {
    std::vector<double> out;
    const std::regex line("Retrying partition consumer " + std::to_string(partition) + R"( in (\d+\.\d{3}) s)");
    for (const auto& text : log.texts(spdlog::level::info)) {
      std::smatch m;
      if (std::regex_match(text, m, line)) out.push_back(std::stod(m[1]));
    }
    return out;
  }
};

TEST_F(EngineFault, ACorruptStateFileIsRetriedOnABackOffUntilReplacedAndARevokedPartitionIsLeftAlone) {
  write_file("p-0.state.pkl", "not a pickle");
  write_file("p-1.state.pkl", "not a pickle");
  make_engine(2);
  produce_ten();
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    t.engine->start();
    EXPECT_TRUE(co_await t.logged("Retrying partition consumer 0 in ", 2));
    EXPECT_TRUE(co_await t.logged("Retrying partition consumer 1 in ", 1));
    // Revoked while it waits: the wait ends and the partition gets no consumer again.
    t.feed->revoke({1});
    EXPECT_TRUE(t.engine->_recreations.find(1) == nullptr);
    const auto retries_of_1 = t.retry_delays(1).size();
    co_await t.store->set_partition_state(0, PartitionState{0, 0, Dict{}});
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 10, 30s));
    co_await vesk::sleep(2500ms);
    EXPECT_EQ(t.retry_delays(1).size(), retries_of_1);
    EXPECT_FALSE(t.engine->_partition_consumers.contains(1));
    co_await t.shut_down();
  }(*this));
  // 1 s, then 2 s, each within its jitter; a few failures, not hundreds.
  auto delays = retry_delays(0);
  ASSERT_GE(delays.size(), 2u);
  EXPECT_GE(delays[0], 0.8);
  EXPECT_LE(delays[0], 1.2);
  EXPECT_GE(delays[1], 1.6);
  EXPECT_LE(delays[1], 2.4);
  EXPECT_LE(log.count_starting_with("Error in partition consumer 0: "), 5u);
  EXPECT_NE(first_line("Error in partition consumer 0: ").find("p-0.state.pkl"), std::string::npos);
}

TEST_F(EngineFault, AConsumerThatCannotBeBuiltIsRetriedForEachPartitionOfTheListAndAfterAFailure) {
  make_engine(2);
  produce_ten();
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    // Building fails for both partitions of one assignment: each is logged and retried.
    t.program.emplace("VESK_WORKER_PROGRAM", (t.directory / "missing-worker").string());
    t.engine->start();
    EXPECT_TRUE(co_await t.logged("Error creating partition consumer 0: "));
    EXPECT_TRUE(co_await t.logged("Error creating partition consumer 1: "));
    EXPECT_TRUE(co_await t.logged("Retrying partition consumer 1 in "));
    t.program.reset();
    EXPECT_TRUE(co_await t.stored_offsets_reach(2, 10, 30s));

    // Replacing a failed consumer fails too: the watcher goes on retrying.
    t.program.emplace("VESK_WORKER_PROGRAM", (t.directory / "missing-worker").string());
    const auto failures = t.log.count_starting_with("Error creating partition consumer 0: ");
    const auto retries = t.retry_delays(0).size();
    ::kill(t.worker_pid(0), SIGKILL);
    EXPECT_TRUE(co_await t.logged("Error creating partition consumer 0: ", failures + 1));
    EXPECT_TRUE(co_await eventually([&] { return t.retry_delays(0).size() > retries; }));
    t.program.reset();
    t.produce_ten();
    EXPECT_TRUE(co_await t.stored_offsets_reach(2, 20, 30s));
    co_await t.shut_down();
  }(*this));
  EXPECT_NE(first_line("Error creating partition consumer 0: ").find("missing-worker"), std::string::npos);
  EXPECT_EQ(log.count_starting_with("Error in partition consumer 0: "), 1u);
}

TEST_F(EngineFault, AWorkerThatEndsOrNeverConnectsFailsItsConsumerNamingIt) {
  make_engine(1);
  produce_ten();
  engine->_worker_connect_timeout = 1s;
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    // Ends before it connects.
    t.program.emplace("VESK_WORKER_PROGRAM", "/bin/false");
    t.engine->start();
    EXPECT_TRUE(co_await t.logged("Error in partition consumer 0: worker 0 (pid "));
    // Alive, but never connects.
    t.program.emplace("VESK_WORKER_PROGRAM", VESK_TEST_IDLE_WORKER);
    EXPECT_TRUE(co_await t.logged_containing("did not connect within 1.000 s"));
    t.program.reset();
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 10, 30s));

    // Killed while its partition is idle: noticed at once, and replaced from the checkpoint.
    auto first = *t.engine->_partition_consumers.find(0);
    ::kill(t.worker_pid(0), SIGKILL);
    EXPECT_TRUE(co_await t.logged_containing("was killed by signal 9 (SIGKILL)"));
    EXPECT_TRUE(co_await eventually([&] {
      auto* now = t.engine->_partition_consumers.find(0);
      return now != nullptr && *now != first;
    }));
    t.produce_ten();
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 20, 30s));
    co_await t.shut_down();
  }(*this));
  const std::string ended = first_line("Error in partition consumer 0: worker 0 (pid ");
  EXPECT_TRUE(std::regex_search(ended, std::regex(R"(worker 0 \(pid \d+\) exited with status 1)"))) << ended;
  auto state = loop.run_until_complete(store->get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, (Dict{{"key-0", 4}, {"key-1", 4}, {"key-2", 4}, {"key-3", 4}, {"key-4", 4}}));
}

TEST_F(EngineFault, ASlowWorkerIsNamedInAWarningEveryIntervalAndNotKilled) {
  make_engine(1);
  engine->_slow_worker_warning_interval = 300ms;
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    t.engine->start();
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 0, 30s));
    auto consumer = *t.engine->_partition_consumers.find(0);
    EXPECT_TRUE(co_await eventually([&] { return consumer->handed_over(); }));
    const pid_t pid = t.worker_pid(0);
    ::kill(pid, SIGSTOP);
    t.produce_ten();
    const std::string named = "Worker 0 (pid " + std::to_string(pid) + ")";
    EXPECT_TRUE(co_await eventually([&] {
      std::size_t n = 0;
      for (const auto& w : t.log.texts(spdlog::level::warn)) n += w.find(named) != std::string::npos;
      return n >= 2;
    }));
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 10, 30s));
    EXPECT_EQ(*t.engine->_partition_consumers.find(0), consumer);
    co_await t.shut_down();
  }(*this));
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
}

TEST_F(EngineFault, AKeyItsHandlerRemovedIsAbsentFromTheNextCheckpointAndAfterARestart) {
  make_engine(1);
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    t.engine->start();
    t.feed->produce(0, "kept", "v");
    t.feed->produce(0, "dropped", "v");
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 2, 30s));
    t.feed->produce(0, "dropped", "forget");
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 3, 30s));
    co_await t.engine->stop();
  }(*this));
  EXPECT_EQ(loop.run_until_complete(store->get_partition_state(0))->state, (Dict{{"kept", 1}}));
  // A new engine restores the file without the key, and a new message for it starts over.
  auto feed = this->feed;
  engine.reset();
  engine = std::make_unique<Vesk>(log.logger(), backend, 2, 200ms);
  engine->source(feed).process(handler("examples.counting.KeyCounter"));
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    t.engine->start();
    t.feed->produce(0, "kept", "v");
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 4, 30s));
    t.feed->produce(0, "dropped", "v");
    EXPECT_TRUE(co_await t.stored_offsets_reach(1, 5, 30s));
    co_await t.shut_down();
  }(*this));
  EXPECT_EQ(loop.run_until_complete(store->get_partition_state(0))->state, (Dict{{"kept", 2}, {"dropped", 1}}));
}

TEST_F(EngineFault, AStateFileOfAnotherPartitionOrWithANegativeOffsetIsRefused) {
  make_engine(2);
  produce_ten();
  // Written under partition 0's and 1's names, with the wrong partition and a negative offset.
  loop.run_until_complete(store->set_partition_state(0, PartitionState{1, 5, Dict{{"key-0", 100}}}));
  loop.run_until_complete(store->set_partition_state(1, PartitionState{1, -3, Dict{}}));
  loop.run_until_complete([](EngineFault& t) -> Awaitable<void> {
    t.engine->start();
    EXPECT_TRUE(co_await t.logged("Retrying partition consumer 0 in "));
    EXPECT_TRUE(co_await t.logged("Retrying partition consumer 1 in "));
    co_await t.store->set_partition_state(0, PartitionState{0, 0, Dict{}});
    co_await t.store->set_partition_state(1, PartitionState{1, 0, Dict{}});
    EXPECT_TRUE(co_await t.stored_offsets_reach(2, 10, 30s));
    co_await t.shut_down();
  }(*this));
  EXPECT_EQ(first_line("Error in partition consumer 0: ")
                .rfind("Error in partition consumer 0: the state file p-0.state.pkl holds partition 1, not partition 0 "
                       "that it was read for",
                       0),
            0u);
  EXPECT_EQ(first_line("Error in partition consumer 1: ")
                .rfind("Error in partition consumer 1: the state file p-1.state.pkl of partition 1 holds offset -3", 0),
            0u);
  // Nothing of the foreign file was adopted.
  EXPECT_EQ(loop.run_until_complete(store->get_partition_state(0))->state,
            (Dict{{"key-0", 2}, {"key-1", 2}, {"key-2", 2}, {"key-3", 2}, {"key-4", 2}}));
}

}  // namespace

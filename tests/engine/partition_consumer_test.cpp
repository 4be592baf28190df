// The partition consumer's protocol with its workers: hand-over, routing, draining, the
// checkpoint handshake and restore. The workers here are stand-ins played by the test over the
// consumers' real listeners (the started program never connects and lives until it is killed), so
// every exchange is visible.
#include "vesk/partition_consumer.hpp"

#include "engine_test_support.hpp"
#include "fake_feed.hpp"
#include "log_capture.hpp"
#include "protocol_values.hpp"
#include "vesk/partitioner/default_partitioner.hpp"
#include "vesk/pickle/pickle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

using Consumer = Vesk::PartitionConsumer;

// Plays worker i of a consumer: keeps every value it receives and answers like a worker would,
// with knobs for holding, replacing or withholding replies.
struct StandIn {
  std::vector<Value> received;
  std::vector<std::vector<Message>> batches_received;
  bool hold = false;  // keep the reply to a batch until cleared
  std::string batch_reply = vesk::testing::drained.as_text();
  int close_on_batch = -1;  // close instead of answering this batch (0-based)
  std::function<Value()> collect_reply = [] { return Value(Dict{}); };
  std::shared_ptr<ChannelConnection> connection;

  std::size_t batches() const { return batches_received.size(); }
  std::vector<Message> batch(std::size_t n) const {
    return n < batches() ? batches_received[n] : std::vector<Message>{};
  }

  Awaitable<void> run(std::string host, std::uint16_t port, std::string secret) {
    connection = co_await ChannelConnection::connect(host, port, secret);
    for (;;) {
      const std::string_view frame = co_await connection->receive_frame();
      std::vector<Message> messages;
      if (vesk::worker_protocol::MessageBatch::decode(frame, messages)) batches_received.push_back(std::move(messages));
      received.push_back(vesk::pickle::loads(frame));
      const Value& v = received.back();
      if (received.size() == 1) continue;  // the hand-over gets no reply
      if (vesk::worker_protocol::CollectRequest::is(v)) {
        Value reply = collect_reply();
        co_await connection->send(reply);
      } else if (v.is_list()) {
        while (hold) co_await vesk::sleep(5ms);
        if (static_cast<int>(batches()) - 1 == close_on_batch) {
          connection->close();
          co_return;
        }
        Value reply(batch_reply);
        co_await connection->send(reply);
      }
    }
  }
};

class ConsumerTest : public ::testing::Test {
 public:
  ScopedEnv worker_program{"VESK_WORKER_PROGRAM", VESK_TEST_IDLE_WORKER};
  EventLoop loop;
  LogCapture log;
  std::shared_ptr<MemoryBackend> backend = std::make_shared<MemoryBackend>();
  std::shared_ptr<vesk::VeskStateStore> store = std::make_shared<vesk::VeskStateStore>(backend, vesk::null_logger());
  std::shared_ptr<FakeFeed> feed = std::make_shared<FakeFeed>();
  std::vector<std::unique_ptr<StandIn>> stand_ins;
  std::vector<Task<void>> stand_in_tasks;
  std::shared_ptr<Consumer> consumer;

  // Builds the consumer and connects one stand-in per worker; call inside the loop.
  void start(vesk::PartitionId partition, int workers, std::chrono::steady_clock::duration interval = 60s) {
    consumer = std::make_shared<Consumer>(partition, feed, store, log.logger(), workers, interval);
    for (auto& worker : consumer->_worker_processes) {
      stand_ins.push_back(std::make_unique<StandIn>());
      stand_in_tasks.push_back(Task<void>::create(
          stand_ins.back()->run(worker.listener->host(), worker.listener->port(), worker.listener->secret())));
    }
  }

  void TearDown() override {
    if (consumer) consumer->dispose();
    for (auto& t : stand_in_tasks) t.cancel();
    loop.run_for(50ms);
  }

  std::optional<PartitionState> stored(vesk::PartitionId partition) {
    return loop.run_until_complete(store->get_partition_state(partition));
  }

  // The hand-over is sent before the first read, but each stand-in takes it on its own time.
  bool all_handed_over() const {
    return !stand_ins.empty() &&
           std::all_of(stand_ins.begin(), stand_ins.end(), [](const auto& s) { return !s->received.empty(); });
  }

  std::vector<std::string> info() const { return log.texts(spdlog::level::info); }
  std::size_t index_of(const std::string& text) const {
    auto lines = log.texts();
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
  }
};

// Keys that the partitioner sends to `worker` of `workers`.
std::vector<std::string> keys_for(int worker, int workers, int count) {
  std::vector<std::string> out;
  for (int i = 0; static_cast<int>(out.size()) < count; ++i) {
    std::string key = "key-" + std::to_string(i);
    if (static_cast<int>(vesk::DefaultPartitioner::position(key, static_cast<std::size_t>(workers))) == worker)
      out.push_back(key);
  }
  return out;
}

TEST_F(ConsumerTest, FreshPartitionStoresOffsetZeroAtOnceAndHandsOverEmptyMaps) {
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(4, 2);
    co_await eventually([&] { return t.feed->count("get_many 4") > 0 && t.all_handed_over(); });
  }(*this));
  EXPECT_EQ(info().front(), "No state for partition 4, starting from offset 0");
  auto state = stored(4);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->offset, 0);
  EXPECT_TRUE(state->state.empty());
  for (auto& s : stand_ins) {
    ASSERT_FALSE(s->received.empty());
    EXPECT_EQ(s->received.front(), Value(Dict{}));
  }
  EXPECT_EQ(feed->calls.front(), "seek 4 0");
}

TEST_F(ConsumerTest, StoredStateIsRestoredAtItsOffsetWithEveryKeyOnItsWorker) {
  PartitionState saved{4, 120, Dict{{"a", 1}, {"b", Value::list({2, 3})}, {"c", "three"}}};
  loop.run_until_complete(store->set_partition_state(4, saved));
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(4, 2);
    co_await eventually([&] { return t.feed->count("get_many 4") > 0 && t.all_handed_over(); });
  }(*this));
  EXPECT_EQ(info().front(), "State found for partition 4, starting from offset 120");
  EXPECT_EQ(feed->calls.front(), "seek 4 120");
  std::size_t handed = 0;
  for (int i = 0; i < 2; ++i) {
    const Dict& map = stand_ins[static_cast<std::size_t>(i)]->received.front().as_dict();
    for (const auto& [key, value] : map) {
      EXPECT_EQ(static_cast<int>(vesk::DefaultPartitioner::position(key.as_text(), 2)), i) << key.as_text();
      EXPECT_EQ(value, *saved.state.find(key));
      ++handed;
    }
  }
  EXPECT_EQ(handed, 3u);
}

TEST_F(ConsumerTest, OneWorkerReceivesEveryRestoredKey) {
  loop.run_until_complete(store->set_partition_state(0, PartitionState{0, 5, Dict{{"a", 1}, {"b", 2}, {"c", 3}}}));
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(0, 1);
    co_await eventually([&] { return t.feed->count("get_many 0") > 0 && t.all_handed_over(); });
  }(*this));
  EXPECT_EQ(stand_ins[0]->received.front(), Value(Dict{{"a", 1}, {"b", 2}, {"c", 3}}));
}

TEST_F(ConsumerTest, IdleWorkersGetEmptyBatchesAndKeysKeepTheirOrder) {
  auto keys = keys_for(2, 4, 2);
  feed->batches.push_back({Message{keys[0], "x", 1, 10}, Message{keys[1], "y", 2, 12}, Message{keys[0], "z", 3, 11}});
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(0, 4);
    co_await eventually([&] { return t.log.contains("Processed 3 messages"); });
    co_await eventually([&] { return t.feed->count("seek 0 13") > 0; });
  }(*this));
  for (int i : {0, 1, 3}) {
    EXPECT_EQ(stand_ins[static_cast<std::size_t>(i)]->batches(), 1u) << i;
    EXPECT_TRUE(stand_ins[static_cast<std::size_t>(i)]->batch(0).empty()) << i;
  }
  auto routed = stand_ins[2]->batch(0);
  ASSERT_EQ(routed.size(), 3u);
  EXPECT_EQ(routed[0], (Message{keys[0], "x", 1, 10}));
  EXPECT_EQ(routed[1], (Message{keys[1], "y", 2, 12}));
  EXPECT_EQ(routed[2], (Message{keys[0], "z", 3, 11}));
  // Offsets 10, 12, 11: the next read starts at 13.
  EXPECT_EQ(consumer->_state->offset, 13);
  auto lines = info();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Distributing 3 messages"), lines.end());
  EXPECT_LT(index_of("Distributing 3 messages"), index_of("Processed 3 messages"));
}

TEST_F(ConsumerTest, EmptyReadsSeekAgainAndSendNothing) {
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(1, 2);
    co_await eventually([&] { return t.feed->count("get_many 1") >= 3; });
  }(*this));
  std::vector<std::string> expected{"seek 1 0", "get_many 1", "seek 1 0", "get_many 1", "seek 1 0", "get_many 1"};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), feed->calls.begin()));
  for (auto& s : stand_ins) EXPECT_EQ(s->batches(), 0u);
  EXPECT_EQ(log.count_starting_with("Distributing"), 0u);
}

TEST_F(ConsumerTest, OddRepliesEndTheCycleAndALostChannelFailsTheConsumer) {
  feed->batches.push_back({Message{"a", "1", 0, 0}});
  feed->batches.push_back({Message{"a", "2", 0, 1}});
  feed->batches.push_back({Message{"a", "3", 0, 2}});
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(0, 2);
    t.stand_ins[1]->batch_reply = "ok";
    t.stand_ins[0]->close_on_batch = 1;
    EXPECT_TRUE(co_await eventually([&] { return t.consumer->_task.done(); }));
  }(*this));
  EXPECT_EQ(log.texts(spdlog::level::warn), (std::vector<std::string>{"Worker 1 sent unexpected response: ok",
                                                                      "Worker 1 sent unexpected response: ok"}));
  auto errors = log.texts(spdlog::level::err);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Error waiting for worker 0 to drain: ", 0), 0u) << errors[0];
  // Never retried on the same connection: the third batch is not sent.
  EXPECT_TRUE(consumer->_task.failed());
  const std::string failure = vesk::error_text(consumer->_task.error());
  const std::string pid = std::to_string(consumer->_worker_processes[0].process->pid());
  EXPECT_EQ(failure.rfind("worker 0 (pid " + pid + "): ", 0), 0u) << failure;
  EXPECT_EQ(stand_ins[1]->batches(), 2u);
}

TEST_F(ConsumerTest, ACheckpointDueDuringABatchWaitsForItsEndAndHoldsTheNextBatch) {
  feed->batches.push_back({Message{"a", "1", 0, 0}, Message{"b", "2", 0, 1}});
  feed->batches.push_back({Message{"a", "3", 0, 2}});
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(0, 2);
    co_await eventually([&] { return t.stand_ins.size() == 2; });
    for (auto& s : t.stand_ins) s->hold = true;
    t.stand_ins[0]->collect_reply = [] { return Value(Dict{{"x", 1}}); };
    t.stand_ins[1]->collect_reply = [] { return Value(Dict{{"y", 2}}); };
    co_await eventually([&] { return !t.consumer->_all_workers_drained; });
    auto checkpoint = Task<void>::create(t.consumer->_do_checkpoint());
    co_await vesk::sleep(700ms);
    EXPECT_TRUE(t.log.contains("[p0] Checkpoint started"));
    EXPECT_FALSE(t.log.contains("[p0] Collecting key states"));
    EXPECT_TRUE(t.consumer->_is_checkpoint_task_running);
    for (auto& s : t.stand_ins) s->hold = false;
    co_await checkpoint.wait();
    co_await eventually([&] { return t.log.contains("Processed 1 messages"); });
  }(*this));
  EXPECT_LT(index_of("Processed 2 messages"), index_of("[p0] Collecting key states"));
  std::size_t done_at = 0;
  auto lines = log.texts();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("[p0] Checkpoint done - collected in ", 0) == 0) done_at = i;
  }
  EXPECT_GT(done_at, index_of("[p0] Collecting key states"));
  EXPECT_LT(done_at, index_of("Distributing 1 messages"));
  // The collection came between the two batches on every channel.
  for (auto& s : stand_ins) {
    ASSERT_EQ(s->received.size(), 4u);
    EXPECT_TRUE(s->received[1].is_list());
    EXPECT_EQ(s->received[2], collect_request);
    EXPECT_TRUE(s->received[3].is_list());
  }
  auto state = stored(0);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->offset, 2);
  EXPECT_EQ(state->state, (Dict{{"x", 1}, {"y", 2}}));
}

TEST_F(ConsumerTest, CheckpointLinesAreExactAndARemovedKeyLeavesTheNextCheckpoint) {
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(1, 2);
    co_await eventually([&] { return t.consumer->handed_over(); });
    t.stand_ins[0]->collect_reply = [] { return Value(Dict{{"a", 1}}); };
    t.stand_ins[1]->collect_reply = [] { return Value(Dict{{"b", 2}}); };
    co_await t.consumer->_do_checkpoint();
    // "a" is gone from its worker (its handler returned none): so it is from the stored state.
    t.stand_ins[0]->collect_reply = [] { return Value(Dict{}); };
    t.stand_ins[1]->collect_reply = [] { return Value(Dict{{"b", 3}}); };
    co_await t.consumer->_do_checkpoint();
  }(*this));
  auto lines = info();
  std::vector<std::string> checkpoint_lines;
  for (const auto& l : lines) {
    if (l.rfind("[p1] ", 0) == 0) checkpoint_lines.push_back(l);
  }
  ASSERT_EQ(checkpoint_lines.size(), 8u);
  EXPECT_EQ(checkpoint_lines[0], "[p1] Checkpoint started");
  EXPECT_EQ(checkpoint_lines[1], "[p1] Collecting key states");
  std::smatch m;
  EXPECT_TRUE(std::regex_match(checkpoint_lines[2], std::regex(R"(\[p1\] Collected 2 key states in \d+\.\d{3}s)")))
      << checkpoint_lines[2];
  EXPECT_TRUE(std::regex_match(
      checkpoint_lines[3], m,
      std::regex(
          R"(\[p1\] Checkpoint done - collected in (\d+\.\d{3})s, saved in (\d+\.\d{3})s, total: (\d+\.\d{3})s)")))
      << checkpoint_lines[3];
  EXPECT_TRUE(std::regex_match(checkpoint_lines[6], std::regex(R"(\[p1\] Collected 1 key states in \d+\.\d{3}s)")));
  auto state = stored(1);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, (Dict{{"b", 3}}));
  EXPECT_FALSE(consumer->_is_checkpoint_task_running);
}

// Workers that keep track answer with (number removed, changed states or none): the consumer mends the
// state it holds, stores it whole, writes nothing when nothing changed and the offset has not
// moved, and takes a worker's whole map in place of every key that worker owns.
TEST_F(ConsumerTest, AnswersOfChangesMendTheHeldStateAndAnIdleCheckpointWritesNothing) {
  const auto k0 = keys_for(0, 2, 2);
  const auto k1 = keys_for(1, 2, 1);
  auto changes = [](Dict changed, List removed) {
    Dict all;
    for (const auto& key : removed) all.set(key, Value());
    all.update(std::move(changed));
    return Value::tuple({Value(static_cast<std::int64_t>(removed.size())), Value(std::move(all))});
  };
  std::vector<Dict> stored_states;
  std::vector<int> sets;
  loop.run_until_complete([&](ConsumerTest& t) -> Awaitable<void> {
    t.start(1, 2);
    co_await eventually([&] { return t.consumer->handed_over(); });
    auto round = [&](std::function<Value()> zero, std::function<Value()> one) -> Awaitable<void> {
      t.stand_ins[0]->collect_reply = std::move(zero);
      t.stand_ins[1]->collect_reply = std::move(one);
      co_await t.consumer->_do_checkpoint();
      auto state = co_await t.store->get_partition_state(1);
      stored_states.push_back(state->state);
      sets.push_back(t.backend->sets);
    };
    co_await round(
        [&] {
          return changes(Dict{{k0[0], 1}, {k0[1], 5}}, {});
        },
        [&] {
          return changes(Dict{{k1[0], 2}}, {});
        });
    co_await round([&] { return changes(Dict{{k0[0], 2}}, List{Value(k0[1])}); }, [&] { return changes(Dict{}, {}); });
    co_await round([&] { return changes(Dict{}, {}); }, [&] { return changes(Dict{}, {}); });
    co_await round([&] { return Value(Dict{{k0[1], 4}}); }, [&] { return changes(Dict{{k1[0], 3}}, {}); });
  }(*this));
  ASSERT_EQ(stored_states.size(), 4u);
  EXPECT_EQ(stored_states[0], (Dict{{k0[0], 1}, {k0[1], 5}, {k1[0], 2}}));
  EXPECT_EQ(stored_states[1], (Dict{{k0[0], 2}, {k1[0], 2}}));
  EXPECT_EQ(sets[2], sets[1]) << "a checkpoint without changes wrote the file";
  EXPECT_EQ(stored_states[3], (Dict{{k0[1], 4}, {k1[0], 3}}));
  EXPECT_EQ(log.count_starting_with("[p1] Checkpoint done"), 4u);
}

TEST_F(ConsumerTest, LargeStatesGoThroughHandOverCollectionAndMergeIntact) {
  // Big enough for every step to run on the blocking pool.
  Dict big;
  big.reserve(150000);
  for (int i = 0; i < 150000; ++i) big.append_unique("key-" + std::to_string(i), i);
  PartitionState saved{3, 77, big};
  loop.run_until_complete(store->set_partition_state(3, saved));
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(3, 2);
    co_await eventually([&] { return t.consumer->handed_over(); });
    for (auto& s : t.stand_ins) {
      co_await eventually([&] { return !s->received.empty(); });
      s->collect_reply = [stand_in = s.get()] { return stand_in->received.front(); };
    }
    t.stand_ins[1]->collect_reply = [stand_in = t.stand_ins[1].get()] {
      Value map = stand_in->received.front();
      map.as_dict().set("key-added", -1);  // a key of worker 0, reported by worker 1
      return map;
    };
    co_await t.consumer->_do_checkpoint();
  }(*this));
  std::size_t handed = 0;
  for (int i = 0; i < 2; ++i) {
    const Dict& map = stand_ins[static_cast<std::size_t>(i)]->received.front().as_dict();
    handed += map.size();
    for (const auto& [key, value] : map) {
      ASSERT_EQ(static_cast<int>(vesk::DefaultPartitioner::position(key.as_text(), 2)), i) << key.as_text();
    }
  }
  EXPECT_EQ(handed, 150000u);
  auto state = stored(3);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->offset, 77);
  big.set("key-added", -1);
  EXPECT_EQ(state->state.size(), 150001u);
  EXPECT_EQ(state->state, big);
}

TEST_F(ConsumerTest, TheFirstCollectionWaitsForTheHandOver) {
  backend->before_get = [](const std::string&) -> Awaitable<void> { co_await vesk::sleep(700ms); };
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(0, 2, 100ms);
    co_await eventually([&] { return t.log.count_starting_with("[p0] Checkpoint done") >= 1; }, 5s);
  }(*this));
  EXPECT_LT(index_of("[p0] Checkpoint started"), index_of("No state for partition 0, starting from offset 0"));
  for (auto& s : stand_ins) {
    ASSERT_GE(s->received.size(), 2u);
    EXPECT_TRUE(s->received[0].is_dict());
    EXPECT_EQ(s->received[1], collect_request);
  }
}

TEST_F(ConsumerTest, AFailedCheckpointIsLoggedAndBatchesGoOn) {
  for (int i = 0; i < 5; ++i) feed->batches.push_back({Message{"k", "v", 0, i}});
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    t.start(2, 1, 300ms);
    co_await eventually([&] { return t.stand_ins.size() == 1; });
    t.stand_ins[0]->collect_reply = [] { return Value("not a map"); };
    co_await eventually([&] { return t.log.count_starting_with("[p2] Error in checkpoint loop: ") >= 1; }, 5s);
    co_await eventually([&] { return t.consumer->_state && t.consumer->_state->offset == 5; }, 5s);
  }(*this));
  EXPECT_FALSE(consumer->_is_checkpoint_task_running);
  auto errors = log.texts(spdlog::level::err);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find("worker 0 (pid "), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("instead of its state map: not a map"), std::string::npos) << errors[0];
  EXPECT_EQ(log.count_starting_with("Processed 1 messages"), 5u);
}

TEST_F(ConsumerTest, DisposeRightAfterConstructionRaisesNothingAndLeavesNoProcess) {
  loop.run_until_complete([](ConsumerTest& t) -> Awaitable<void> {
    auto c = std::make_shared<Consumer>(0, t.feed, t.store, t.log.logger(), 3, 60s);
    EXPECT_EQ(c->_worker_processes.size(), 3u);
    c->dispose();
    c->dispose();
    EXPECT_TRUE(co_await eventually([] { return vesk::testing::child_processes().empty(); }, 5s));
    co_await vesk::sleep(20ms);
    EXPECT_TRUE(c->_task.cancelled());
    EXPECT_TRUE(c->_checkpoint_task.cancelled());
  }(*this));
  EXPECT_THROW(Consumer(0, feed, store, log.logger(), 0, 1s), vesk::ValueError);
}

}  // namespace

// The engine on Kafka: real worker processes, examples.counting.KeyCounter, state files on disk
// and VeskKafkaFeed on a mock cluster started here.
#include "vesk/vesk.hpp"

#include "engine_run.hpp"
#include "log_capture.hpp"
#include "mock_cluster.hpp"
#include "state_directory.hpp"
#include "stored_offsets.hpp"
#include "test_environment.hpp"
#include "unused_port.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

constexpr int partitions = 4;

class KafkaEngine : public ::testing::Test,
                    public vesk::testing::BuildTreeWorkers,
                    public vesk::testing::StateDirectory {
 public:
  KafkaEngine() : StateDirectory("vesk-kafka-engine") {}

  EventLoop loop;
  LogCapture log;

  Awaitable<bool> stored_offsets_reach(vesk::Offset offset, std::chrono::seconds limit) {
    return vesk::testing::stored_offsets_reach(*store, partitions, offset, limit);
  }
};

// Message i has key "key-<i % 400>"; key k lives in partition k % 4.
void produce(MockKafkaCluster& cluster, int from, int to, const std::string& topic = "counts") {
  for (int i = from; i < to; ++i) {
    int k = i % 400;
    cluster.produce(topic, k % partitions, "key-" + std::to_string(k), "m" + std::to_string(i));
  }
  cluster.flush();
}

// In group "e2e" on topic "counts", or, committing stored offsets, in group and topic "committed".
Awaitable<void> run_engine_until(KafkaEngine& t, const MockKafkaCluster& cluster, vesk::Offset offset,
                                 bool commit = false) {
  // The mock cluster holds a group's next join for the session timeout after a member left.
  auto feed = std::make_shared<VeskKafkaFeed>(cluster.bootstrap_servers(), commit ? "committed" : "e2e",
                                              commit ? "committed" : "counts", "", "", "", "", t.log.logger(),
                                              VeskKafkaFeed::ExtraProperties{{"session.timeout.ms", "6000"}});
  feed->commit_stored_offsets = commit;
  auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter"));
  const vesk::testing::EngineRun run{t.log.logger(), t.backend, *t.store, partitions};
  EXPECT_TRUE(co_await vesk::testing::run_engine_until(run, std::move(feed), std::move(handler), offset));
}

// The offsets `group` has committed for the partitions of `topic`, as any other client of the
// group would read them (-1001 where none is).
std::vector<std::int64_t> committed_offsets(const MockKafkaCluster& cluster, const std::string& group,
                                            const std::string& topic) {
  char error[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "bootstrap.servers", cluster.bootstrap_servers().c_str(), error, sizeof error);
  rd_kafka_conf_set(conf, "group.id", group.c_str(), error, sizeof error);
  std::unique_ptr<rd_kafka_t, void (*)(rd_kafka_t*)> client(rd_kafka_new(RD_KAFKA_CONSUMER, conf, error, sizeof error),
                                                            &rd_kafka_destroy);
  std::unique_ptr<rd_kafka_topic_partition_list_t, void (*)(rd_kafka_topic_partition_list_t*)> list(
      rd_kafka_topic_partition_list_new(partitions), &rd_kafka_topic_partition_list_destroy);
  for (int p = 0; p < partitions; ++p) rd_kafka_topic_partition_list_add(list.get(), topic.c_str(), p);
  EXPECT_EQ(rd_kafka_committed(client.get(), list.get(), 10000), RD_KAFKA_RESP_ERR_NO_ERROR);
  std::vector<std::int64_t> offsets;
  for (int p = 0; p < partitions; ++p) offsets.push_back(list->elems[p].offset);
  return offsets;
}

}  // namespace

TEST_F(KafkaEngine, CountsAreExactAndARestartResumesAtTheStoredOffsets) {
  MockKafkaCluster cluster;
  cluster.create_topic("counts", partitions);
  produce(cluster, 0, 20000);
  loop.run_until_complete(run_engine_until(*this, cluster, 5000));
  vesk::testing::expect_key_counts(loop, *store, partitions, 5000, 100, 50);

  // Nothing is committed unless asked.
  EXPECT_EQ(committed_offsets(cluster, "e2e", "counts"),
            std::vector<std::int64_t>(partitions, RD_KAFKA_OFFSET_INVALID));

  produce(cluster, 20000, 24000);
  log.clear();
  loop.run_until_complete(run_engine_until(*this, cluster, 6000));
  for (PartitionId p = 0; p < partitions; ++p) EXPECT_TRUE(log.contains(vesk::testing::resume_line(p, 5000)));
  vesk::testing::expect_key_counts(loop, *store, partitions, 6000, 100, 60);
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
}

TEST_F(KafkaEngine, StoredOffsetsAreCommittedForMonitorsWhenAsked) {
  MockKafkaCluster cluster;
  cluster.create_topic("committed", partitions);
  produce(cluster, 0, 4000, "committed");
  loop.run_until_complete(run_engine_until(*this, cluster, 1000, /*commit=*/true));
  EXPECT_EQ(committed_offsets(cluster, "committed", "committed"), std::vector<std::int64_t>(partitions, 1000));
  EXPECT_EQ(log.count_starting_with("Kafka commit"), 0u);
}

TEST_F(KafkaEngine, ConnectLoopLogsAndRetriesWhileNothingListens) {
  auto feed = std::make_shared<VeskKafkaFeed>("127.0.0.1:" + std::to_string(unused_port()), "g", "counts", "", "", "",
                                              "", log.logger());
  // The bound itself is checked against the source alone; here only the retrying matters.
  feed->start_timeout = 1s;
  auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter"));
  loop.run_until_complete([&]() -> Awaitable<void> {
    Vesk engine(log.logger(), backend, 1, 1s);
    engine.source(feed).process(handler);
    engine.start();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (log.count_starting_with("Error in Vesk _run: ") < 2 && std::chrono::steady_clock::now() < deadline) {
      co_await vesk::sleep(50ms);
    }
    EXPECT_GE(log.count_starting_with("Error in Vesk _run: "), 2u);
    EXPECT_GE(log.count_starting_with("Connecting to source..."), 2u);
    EXPECT_EQ(log.count_starting_with("Source started"), 0u);
    co_await engine.stop();
    co_await feed->stop();
  }());
}

// Sixteen partitions, two workers each, while a producer writes throughout: every partition must
// reach the end, none may stall behind the others, and the counts are exact.
TEST_F(KafkaEngine, SixteenPartitionsWithALiveProducerAllReachTheEnd) {
  constexpr int many = 16;
  constexpr int per_partition = 3000;
  MockKafkaCluster cluster;
  cluster.create_topic("live", many);
  auto feed = std::make_shared<VeskKafkaFeed>(cluster.bootstrap_servers(), "live", "live", "", "", "", "", log.logger(),
                                              VeskKafkaFeed::ExtraProperties{{"session.timeout.ms", "6000"}});
  auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter"));
  loop.run_until_complete([&]() -> Awaitable<void> {
    Vesk engine(log.logger(), backend, 2, 200ms);
    engine.source(feed).process(handler);
    engine.start();
    // Writing starts before the group has assigned anything and goes on for about 3 s after.
    std::thread producer([&cluster] {
      for (int i = 0; i < per_partition; ++i) {
        for (int p = 0; p < many; ++p) cluster.produce("live", p, "key-" + std::to_string(i % 50), "v");
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      cluster.flush();
    });
    const bool reached = co_await vesk::testing::stored_offsets_reach(*store, many, per_partition, 120s);
    auto join = [&producer] { producer.join(); };
    co_await vesk::run_blocking(std::move(join));
    EXPECT_TRUE(reached);
    co_await engine.stop();
    co_await feed->stop();
  }());
  for (PartitionId p = 0; p < many; ++p) {
    auto state = loop.run_until_complete(store->get_partition_state(p));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->offset, per_partition) << "partition " << p;
    EXPECT_EQ(state->state.size(), 50u) << "partition " << p;
    for (const auto& [key, count] : state->state) EXPECT_EQ(count, vesk::Value(per_partition / 50)) << key.as_text();
  }
  EXPECT_EQ(log.count_starting_with("Error"), 0u) << ::testing::PrintToString(log.texts(spdlog::level::err));
}

// The engine with real worker processes and its partition states in blob storage on Azurite,
// reading the in-memory source and, when it is built, Kafka (librdkafka's mock cluster): exact
// states in the p-N.state.pkl blobs, a restarted engine resuming from them, and checkpoints that
// fail while the service is down and succeed once it is back.
#include "vesk/vesk.hpp"

#include "azurite.hpp"
#include "engine_run.hpp"
#include "eventually.hpp"
#include "log_capture.hpp"
#include "stored_offsets.hpp"
#include "test_environment.hpp"
#include "vesk/stream_handler/handler_registry.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gtest/gtest.h>

#ifdef VESK_TEST_WITH_KAFKA
#include "mock_cluster.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#endif

#include <algorithm>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::PartitionId;
using vesk::Vesk;
using vesk::VeskMemoryFeed;
using vesk::testing::eventually;

namespace {

constexpr int partitions = 2;
constexpr int keys = 40;  // key k lives in partition k % partitions

class EngineOnBlobStorage : public ::testing::Test, public vesk::testing::BuildTreeWorkers {
 public:
  vesk::testing::Azurite azurite;
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  std::shared_ptr<vesk::VeskAzureBlobBackend> backend;  // the engine's, logging into `log`
  std::shared_ptr<vesk::VeskStateStore> probe;          // the test's own view, logging nothing

  void SetUp() override {
    create_container();
    const vesk::AzureStorageConfig config{azurite.connection_string(), "vesk-states", "states"};
    backend = std::make_shared<vesk::VeskAzureBlobBackend>(config, log.logger());
    probe = std::make_shared<vesk::VeskStateStore>(
        std::make_shared<vesk::VeskAzureBlobBackend>(config, vesk::null_logger()), vesk::null_logger());
  }

  void create_container() {
    loop.run_until_complete([](std::string cs) -> Awaitable<void> {
      auto service = vesk::blob::BlobServiceClient::from_connection_string(cs);
      vesk::blob::AsyncBlobServiceClient client(service);
      co_await client.get_container_client("vesk-states").create();
    }(azurite.connection_string()));
  }

  static std::shared_ptr<vesk::StreamHandlerBase> counter() {
    return std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter"));
  }

  // Waits until every partition's stored offset is `offset`; failures to read count as "not yet".
  Awaitable<bool> stored_offsets_reach(vesk::Offset offset, std::chrono::seconds limit) {
    return vesk::testing::stored_offsets_reach(*probe, partitions, offset, limit);
  }

  // Every key of the partition has `count` in its stored state.
  void expect_counts(PartitionId p, vesk::Offset offset, std::int64_t count) {
    auto state = loop.run_until_complete(probe->get_partition_state(p));
    ASSERT_TRUE(state) << "partition " << p;
    EXPECT_EQ(state->partition, p);
    EXPECT_EQ(state->offset, offset);
    EXPECT_EQ(state->state.size(), static_cast<std::size_t>(keys / partitions));
    for (const auto& [key, value] : state->state) {
      EXPECT_EQ(std::stoi(key.as_text().substr(4)) % partitions, p) << key.as_text();
      EXPECT_EQ(value, vesk::Value(count)) << key.as_text();
    }
  }
};

// `per_partition` more messages in each partition: every key of a partition the same number of times.
void produce(VeskMemoryFeed& feed, int per_partition) {
  for (int round = 0; round < per_partition / (keys / partitions); ++round) {
    for (int k = 0; k < keys; ++k) feed.produce(k % partitions, "key-" + std::to_string(k), "v");
  }
}

// Runs an engine until every partition's stored offset is `offset`, then stops it and the feed.
Awaitable<void> run_until_stored(EngineOnBlobStorage& t, std::shared_ptr<VeskMemoryFeed> feed, vesk::Offset offset) {
  const vesk::testing::EngineRun run{t.log.logger(), t.backend, *t.probe, partitions};
  EXPECT_TRUE(co_await vesk::testing::run_engine_until(run, std::move(feed), EngineOnBlobStorage::counter(), offset));
}

TEST_F(EngineOnBlobStorage, StatesAreExactInTheBlobsAndARestartedEngineResumesFromThem) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), partitions, 200ms);
  produce(*feed, 2000);
  loop.run_until_complete(run_until_stored(*this, feed, 2000));
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_TRUE(log.contains("File not found: states/p-" + std::to_string(p) + ".state.pkl"));
    EXPECT_TRUE(log.contains("No state for partition " + std::to_string(p) + ", starting from offset 0"));
    expect_counts(p, 2000, 100);
  }
  auto names = loop.run_until_complete(backend->list_files_async(""));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"states/p-0.state.pkl", "states/p-1.state.pkl"}));

  produce(*feed, 400);
  log.clear();
  loop.run_until_complete(run_until_stored(*this, feed, 2400));
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_TRUE(log.contains(vesk::testing::resume_line(p, 2000)));
    expect_counts(p, 2400, 120);
  }
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
  EXPECT_EQ(log.count_starting_with("File not found"), 0u);
}

TEST_F(EngineOnBlobStorage, CheckpointsFailWhileTheServiceIsDownAndSucceedOnceItIsBack) {
  auto feed = std::make_shared<VeskMemoryFeed>(log.logger(), partitions, 200ms);
  produce(*feed, 400);
  loop.run_until_complete([](EngineOnBlobStorage& t, std::shared_ptr<VeskMemoryFeed> feed) -> Awaitable<void> {
    Vesk engine(t.log.logger(), t.backend, 2, 200ms);
    engine.source(feed).process(EngineOnBlobStorage::counter());
    engine.start();
    EXPECT_TRUE(co_await t.stored_offsets_reach(400, 60s));

    t.azurite.stop();
    produce(*feed, 400);  // processed while no checkpoint can be stored
    const auto write_failures = [&] {
      std::size_t n = 0;
      for (PartitionId p = 0; p < partitions; ++p) {
        n += t.log.count_starting_with("Error writing to file 'states/p-" + std::to_string(p) + ".state.pkl': ") > 0;
      }
      return n;
    };
    EXPECT_TRUE(co_await eventually([&] { return write_failures() == partitions; }, 20s));
    EXPECT_TRUE(co_await eventually(
        [&] {
          return t.log.count_starting_with("[p0] Error in checkpoint loop: ") > 0 &&
                 t.log.count_starting_with("[p1] Error in checkpoint loop: ") > 0;
        },
        20s));
    // The consumers keep running: the same ones as before the outage.
    EXPECT_EQ(engine._partition_consumers.size(), static_cast<std::size_t>(partitions));
    EXPECT_EQ(t.log.count_starting_with("Error in partition consumer"), 0u);

    t.azurite.restart();
    t.create_container();  // the emulator keeps nothing across a restart
    EXPECT_TRUE(co_await t.stored_offsets_reach(800, 60s));
    co_await engine.stop();
    co_await feed->stop();
  }(*this, feed));
  // Nothing was lost: every message counted once, the outage's included.
  for (PartitionId p = 0; p < partitions; ++p) expect_counts(p, 800, 40);
}

#ifdef VESK_TEST_WITH_KAFKA
TEST_F(EngineOnBlobStorage, KafkaMessagesEndAsExactStatesInTheBlobsAndARestartResumes) {
  vesk::testing::MockKafkaCluster cluster;
  cluster.create_topic("events", partitions);
  const auto produce_kafka = [&](int per_partition) {
    for (int round = 0; round < per_partition / (keys / partitions); ++round) {
      for (int k = 0; k < keys; ++k) cluster.produce("events", k % partitions, "key-" + std::to_string(k), "v");
    }
    cluster.flush();
  };
  // Each run joins a group of its own: offsets live in the blobs, not in Kafka, and a fresh group
  // spares the wait for the mock cluster to drop the previous member.
  const auto run_engine = [&](vesk::Offset offset) -> Awaitable<void> {
    const std::string group = "vesk-on-azurite-" + std::to_string(offset);
    auto feed = std::make_shared<vesk::VeskKafkaFeed>(cluster.bootstrap_servers(), group, "events", "", "", "", "",
                                                      log.logger());
    const vesk::testing::EngineRun run{log.logger(), backend, *probe, partitions};
    EXPECT_TRUE(co_await vesk::testing::run_engine_until(run, std::move(feed), counter(), offset));
  };

  produce_kafka(1000);
  loop.run_until_complete(run_engine(1000));
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_TRUE(log.contains("File not found: states/p-" + std::to_string(p) + ".state.pkl"));
    expect_counts(p, 1000, 50);
  }

  produce_kafka(200);
  log.clear();
  loop.run_until_complete(run_engine(1200));
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_TRUE(log.contains(vesk::testing::resume_line(p, 1000)));
    expect_counts(p, 1200, 60);
  }
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
}
#endif

}  // namespace

// Two host processes in one consumer group with eager assignment share the partitions; when one
// stops, the other takes all of them over, restores their states from the shared directory and
// misses no offset.
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include "host_process.hpp"
#include "mock_cluster.hpp"
#include "test_environment.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using vesk::EventLoop;
using vesk::PartitionId;
using vesk::testing::MockKafkaCluster;

namespace {

constexpr int partitions = 4;

// Eager assignment: every rebalance takes every partition, and each host hands over all of them.
vesk::testing::HostProcess host(const std::string& servers, const std::filesystem::path& dir, const std::string& name) {
  return {VESK_TEST_KAFKA_HOST,
          {servers, "shared", "scale", (dir / "states").string(), (dir / (name + ".log")).string(),
           "partition.assignment.strategy=range"},
          (dir / (name + ".log")).string()};
}

void produce(MockKafkaCluster& cluster, int from, int to) {
  for (int i = from; i < to; ++i) {
    for (int p = 0; p < partitions; ++p) cluster.produce("shared", p, "key-" + std::to_string(i % 7), "v");
  }
  cluster.flush();
}

std::optional<vesk::PartitionState> stored(const std::shared_ptr<vesk::VeskStateStore>& store, PartitionId p) {
  EventLoop loop;
  return loop.run_until_complete(store->get_partition_state(p));
}

bool offsets_reach(const std::shared_ptr<vesk::VeskStateStore>& store, vesk::Offset offset,
                   std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    for (PartitionId p = 0; p < partitions && all; ++p) {
      auto state = stored(store, p);
      all = state && state->offset == offset;
    }
    if (all) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

}  // namespace

TEST(KafkaScaleOut, TwoHostsShareThePartitionsAndTheSurvivorTakesOverWithoutGaps) {
  vesk::testing::BuildTreeWorkers workers;
  auto dir = std::filesystem::temp_directory_path() / ("vesk-kafka-scale-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "states");
  auto store = std::make_shared<vesk::VeskStateStore>(
      std::make_shared<vesk::VeskLocalFileBackend>((dir / "states").string()), vesk::null_logger());
  {
    MockKafkaCluster cluster;
    cluster.create_topic("shared", partitions);
    produce(cluster, 0, 300);
    auto first = host(cluster.bootstrap_servers(), dir, "first");
    std::this_thread::sleep_for(1s);
    auto second = host(cluster.bootstrap_servers(), dir, "second");
    ASSERT_GT(first.pid, 0);
    ASSERT_GT(second.pid, 0);
    // Both members end up with a share once the group has rebalanced.
    const auto deadline = std::chrono::steady_clock::now() + 40s;
    while ((first.log().find("Partitions assigned: 2") == std::string::npos ||
            second.log().find("Partitions assigned: 2") == std::string::npos) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(first.log().find("Partitions assigned: 2"), std::string::npos) << first.log();
    EXPECT_NE(second.log().find("Partitions assigned: 2"), std::string::npos) << second.log();
    ASSERT_TRUE(offsets_reach(store, 300, 40s));

    produce(cluster, 300, 600);
    EXPECT_EQ(second.stop(), 0);
    ASSERT_TRUE(offsets_reach(store, 600, 60s)) << first.log();
    EXPECT_NE(first.log().find("Partitions assigned: 4"), std::string::npos) << first.log();
    EXPECT_EQ(first.stop(), 0);
  }
  for (PartitionId p = 0; p < partitions; ++p) {
    auto state = stored(store, p);
    ASSERT_TRUE(state);
    std::set<std::int64_t> seen;
    for (const auto& [key, offsets] : state->state) {
      for (const auto& o : offsets.as_list()) seen.insert(o.as_int());
    }
    EXPECT_EQ(seen.size(), 600u) << "partition " << p;
    EXPECT_EQ(*seen.begin(), 0);
    EXPECT_EQ(*seen.rbegin(), 599);
  }
  std::filesystem::remove_all(dir);
}

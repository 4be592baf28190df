// The engine on the mock cluster, driven into the faults of a partition's start: the race
// between the group's assignment and the seek to the stored offset, and stored offsets that the
// partition's log does not hold.
#include "vesk/vesk.hpp"

#include "log_capture.hpp"
#include "mock_cluster.hpp"
#include "stored_offsets.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "worker_spy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::PartitionId;
using vesk::Vesk;
using vesk::VeskKafkaFeed;
using vesk::testing::MockKafkaCluster;

namespace {

class KafkaFault : public ::testing::Test {
 public:
  std::filesystem::path directory = vesk::testing::fresh_test_directory("vesk-kafka-fault");
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  vesk::testing::WorkerSpy workers{VESK_TEST_WORKER_PROGRAM, directory};
  std::shared_ptr<vesk::VeskLocalFileBackend> backend = std::make_shared<vesk::VeskLocalFileBackend>(
      directory.string());
  vesk::VeskStateStore store{backend, vesk::null_logger()};
  MockKafkaCluster cluster;

  void SetUp() override { ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1); }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Runs an engine (KeyCounter, one worker per partition) in group `group` until every one of
  // `partitions` has `offset` stored, then stops it and checks that no worker is left.
  Awaitable<bool> run_until(const std::string& topic, const std::string& group, int partitions, vesk::Offset offset) {
    auto feed = std::make_shared<VeskKafkaFeed>(cluster.bootstrap_servers(), group, topic, "", "", "", "",
                                                log.logger());
    auto handler = std::shared_ptr<vesk::StreamHandlerBase>(
        vesk::create_stream_handler("examples.counting.KeyCounter"));
    bool reached = false;
    {
      Vesk engine(log.logger(), backend, 1, 200ms);
      engine.source(feed).process(handler);
      engine.start();
      reached = co_await vesk::testing::stored_offsets_reach(store, partitions, offset, 60s);
      co_await engine.stop();
      co_await feed->stop();
    }
    EXPECT_TRUE(co_await workers.all_ended()) << "a worker outlived the engine";
    co_return reached;
  }

  // The number of messages counted in the partition's stored state.
  std::int64_t counted(PartitionId partition) {
    auto state = loop.run_until_complete(store.get_partition_state(partition));
    std::int64_t sum = 0;
    if (state) {
      for (const auto& [key, count] : state->state) sum += count.as_int();
    }
    return sum;
  }
};

TEST_F(KafkaFault, EveryStartReadsEachBacklogFromItsStoredOffset) {
  constexpr int partitions = 16;
  // A backlog this large is what lets the client's own start position win the race.
  constexpr int backlog = 12500;
  constexpr int starts = 20;
  cluster.create_topic("race", partitions);
  std::size_t errors = 0;
  for (int start = 1; start <= starts; ++start) {
    errors += log.count_starting_with("Error");
    log.clear();
    for (int p = 0; p < partitions; ++p) {
      for (int i = 0; i < backlog; ++i)
        cluster.produce("race", p, "p" + std::to_string(p) + "-" + std::to_string(i % 4), "v");
    }
    cluster.flush();
    // A new group each time: no committed offsets, and no wait for the previous member's session.
    const vesk::Offset end = static_cast<vesk::Offset>(start) * backlog;
    const bool reached = loop.run_until_complete(run_until("race", "race-" + std::to_string(start), partitions, end));
    bool exact = reached;
    for (PartitionId p = 0; p < partitions && exact; ++p) {
      EXPECT_EQ(counted(p), end) << "partition " << p << " after start " << start;
      exact = counted(p) == end;
    }
    if (!exact) {
      // What the lagging partitions logged, and every line that names no partition.
      std::string stored;
      std::vector<std::string> marks;
      for (PartitionId p = 0; p < partitions; ++p) {
        auto state = loop.run_until_complete(store.get_partition_state(p));
        stored += " " + std::to_string(p) + ":" + (state ? std::to_string(state->offset) : "none") + "/" +
                  std::to_string(counted(p));
        if (!state || state->offset != end) {
          marks.push_back("[p" + std::to_string(p) + "]");
          marks.push_back("partition " + std::to_string(p) + " ");
          marks.push_back("partition " + std::to_string(p) + ":");
        }
      }
      std::string lines;
      for (const auto& text : log.texts()) {
        const bool named = std::any_of(marks.begin(), marks.end(),
                                       [&](const auto& m) { return text.find(m) != std::string::npos; });
        const bool batch = text.starts_with("Distributing ") || text.starts_with("Processed ");
        if (named || !(batch || text.starts_with("[p"))) lines += "\n  " + text;
      }
      ADD_FAILURE() << "start " << start << " did not process every message once (expected " << end
                    << "); partition:offset/counted" << stored << "; what the lagging partitions logged:" << lines;
      break;
    }
  }
  EXPECT_EQ(errors + log.count_starting_with("Error"), 0u);
}

TEST_F(KafkaFault, StoredOffsetsOutsideTheLogStartAtTheEarliestRetainedOffset) {
  if (!cluster.mock()) GTEST_SKIP() << "needs the mock cluster's 5 MiB cap on a partition's log";
  constexpr int messages = 700;
  cluster.create_topic("range", 2);
  // Partition 1 takes more than the 5 MiB the mock cluster keeps: its log no longer starts at 0.
  const std::string big(10 * 1024, 'v');
  for (int i = 0; i < messages; ++i) {
    cluster.produce("range", 0, "a", "v");
    cluster.produce("range", 1, "b", big);
  }
  cluster.flush();
  // Partition 0 was stored far beyond its end, as after the topic was made anew.
  loop.run_until_complete(store.set_partition_state(0, vesk::PartitionState{0, 1000000, {}}));
  EXPECT_TRUE(loop.run_until_complete(run_until("range", "range", 2, messages)));
  EXPECT_TRUE(
      log.contains("Kafka partition 0 of range: offset 1000000 is out of range (earliest retained offset 0, "
                   "end of log 700); reading from offset 0"));
  EXPECT_EQ(counted(0), messages);
  const auto warnings = log.texts(spdlog::level::warn);
  const std::string prefix = "Kafka partition 1 of range: offset 0 is out of range (earliest retained offset ";
  const auto line = std::find_if(warnings.begin(), warnings.end(),
                                 [&](const auto& t) { return t.starts_with(prefix); });
  ASSERT_NE(line, warnings.end());
  const auto earliest = std::stoll(line->substr(line->rfind(' ') + 1));
  EXPECT_GT(earliest, 0);
  EXPECT_EQ(counted(1), messages - earliest);
}

}  // namespace

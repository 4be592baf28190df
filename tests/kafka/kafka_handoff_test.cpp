// Hosts of one consumer group hand partitions to each other on purpose, under a live producer:
// a rolling restart and scaling out and back in process every message exactly once, a host that
// froze in the middle of a save cannot put an older offset back, and a host that restarts with
// static membership takes nothing from the others.
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include "host_process.hpp"
#include "mock_cluster.hpp"
#include "test_environment.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

constexpr int partitions = 8;

// Each test has a topic and a group of its own: on a real cluster, all tests of the binary share it.
std::string test_topic() {
  return std::string("handoff-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Writes about `rate` messages a second, round robin over the partitions, until stopped.
class LiveProducer {
 public:
  LiveProducer(MockKafkaCluster& cluster, int rate) : _cluster(cluster) {
    _thread = std::thread([this, rate, topic = test_topic()] {
      const int per_tick = std::max(1, rate / 100);
      while (!_stop) {
        for (int i = 0; i < per_tick; ++i) {
          const int p = static_cast<int>(_sent % partitions);
          _cluster.produce(topic, p, "key-" + std::to_string(_sent % 13), "v");
          ++_produced[static_cast<std::size_t>(p)];
          ++_sent;
        }
        std::this_thread::sleep_for(10ms);
      }
      _cluster.flush();
    });
  }
  ~LiveProducer() { stop(); }
  // Stops and flushes; how many messages each partition was given.
  std::vector<Offset> stop() {
    _stop = true;
    if (_thread.joinable()) _thread.join();
    return _produced;
  }

 private:
  MockKafkaCluster& _cluster;
  std::atomic<bool> _stop{false};
  std::uint64_t _sent = 0;
  std::vector<Offset> _produced = std::vector<Offset>(partitions, 0);
  std::thread _thread;
};

class KafkaHandoff : public ::testing::Test, public vesk::testing::BuildTreeWorkers {
 public:
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("vesk-kafka-handoff-" + std::to_string(::getpid()));
  std::shared_ptr<vesk::VeskStateStore> store;
  std::unique_ptr<MockKafkaCluster> cluster;
#ifdef VESK_TEST_REAL_KAFKA
  const bool on_mock_cluster = false;
#else
  const bool on_mock_cluster = true;
#endif
  std::vector<std::string> logs;

  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "states");
    store = std::make_shared<vesk::VeskStateStore>(
        std::make_shared<vesk::VeskLocalFileBackend>((dir / "states").string()), vesk::null_logger());
    cluster = std::make_unique<MockKafkaCluster>();
    cluster->create_topic(test_topic(), partitions);
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir);
  }

  std::unique_ptr<HostProcess> start(const std::string& name, std::vector<std::string> properties = {},
                                     std::map<std::string, std::string> env = {}) {
    const std::string log = (dir / (name + ".log")).string();
    logs.push_back(log);
    std::vector<std::string> args{cluster->bootstrap_servers(), test_topic(), test_topic(), (dir / "states").string(),
                                  log};
    for (auto& p : properties) args.push_back(p);
    env.emplace("VESK_TEST_CHECKPOINT_MS", "1000");
    auto host = std::make_unique<HostProcess>(VESK_TEST_KAFKA_HOST, args, log, env);
    EXPECT_GT(host->pid, 0) << name;
    return host;
  }

  // The partitions the host holds now, from its log: assigned less revoked. Two members that start
  // together may or may not join in one rebalance, so the lines alone are not a count.
  static long long held(const HostProcess& host) {
    return host.sum_after("Partitions assigned: ") - host.sum_after("Partitions revoked: ");
  }

  // Whether the host has processed a batch since its log had `seen` of them.
  static bool processes(const HostProcess& host, int seen = 0) { return host.count("Processed ") > seen; }

  // Every host's "Processed N messages", added up.
  long long processed() const {
    long long total = 0;
    for (const auto& log : logs) total += HostProcess::sum_after(HostProcess::read(log), "Processed ");
    return total;
  }

  std::vector<Offset> stored_offsets() const {
    std::vector<Offset> out(partitions, -1);
    EventLoop loop;
    for (PartitionId p = 0; p < partitions; ++p) {
      try {
        if (auto state = loop.run_until_complete(store->get_partition_state(p)))
          out[static_cast<std::size_t>(p)] = state->offset;
      } catch (const std::exception&) {
      }
    }
    return out;
  }

  // Every produced offset is in exactly one stored key state of its partition.
  void expect_each_offset_stored_once(const std::vector<Offset>& produced) {
    ASSERT_TRUE(within(60s, [&] { return stored_offsets() == produced; }))
        << "stored offsets never reached the produced";
    EventLoop loop;
    for (PartitionId p = 0; p < partitions; ++p) {
      auto state = loop.run_until_complete(store->get_partition_state(p));
      ASSERT_TRUE(state);
      std::multiset<std::int64_t> seen;
      for (const auto& [key, offsets] : state->state) {
        for (const auto& o : offsets.as_list()) seen.insert(o.as_int());
      }
      const std::set<std::int64_t> distinct(seen.begin(), seen.end());
      EXPECT_EQ(seen.size(), distinct.size()) << "partition " << p << " holds an offset twice";
      EXPECT_EQ(distinct.size(), static_cast<std::size_t>(produced[static_cast<std::size_t>(p)])) << "partition " << p;
    }
  }

  static long long total(const std::vector<Offset>& produced) {
    long long n = 0;
    for (auto o : produced) n += o;
    return n;
  }
};

TEST_F(KafkaHandoff, RollingRestartOfThreeHostsProcessesEveryMessageOnce) {
  LiveProducer producer(*cluster, 400);
  std::vector<std::unique_ptr<HostProcess>> hosts;
  for (const char* name : {"a", "b", "c"}) hosts.push_back(start(name));
  ASSERT_TRUE(within(60s, [&] {
    for (auto& h : hosts) {
      if (!processes(*h)) return false;
    }
    return true;
  }));
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    EXPECT_EQ(hosts[i]->stop(), 0) << hosts[i]->log();
    hosts[i] = start(std::string(1, static_cast<char>('a' + i)) + "-again");
    ASSERT_TRUE(within(60s, [&] { return processes(*hosts[i]); })) << hosts[i]->log();
  }
  const auto produced = producer.stop();
  expect_each_offset_stored_once(produced);
  for (auto& h : hosts) EXPECT_EQ(h->stop(), 0) << h->log();
  EXPECT_EQ(processed(), total(produced)) << "messages processed more than once";
}

TEST_F(KafkaHandoff, ScalingOutAndBackInRevokesOnlyWhatMovesAndProcessesEveryMessageOnce) {
  LiveProducer producer(*cluster, 400);
  auto revoked = [](const std::unique_ptr<HostProcess>& h) { return h->sum_after("Partitions revoked: "); };
  auto a = start("a");
  ASSERT_TRUE(within(60s, [&] { return processes(*a); }));
  auto b = start("b");
  // Half of the partitions move to the second host, and only those are revoked.
  ASSERT_TRUE(within(60s, [&] { return b->sum_after("Partitions assigned: ") == partitions / 2 && processes(*b); }))
      << b->log();
  EXPECT_EQ(revoked(a), partitions / 2) << a->log();
  auto c = start("c");
  // 4 + 4 become 3 + 3 + 2: two partitions move.
  ASSERT_TRUE(within(60s, [&] { return c->sum_after("Partitions assigned: ") == 2 && processes(*c); })) << c->log();
  EXPECT_EQ(revoked(a) + revoked(b), partitions / 2 + 2) << a->log() << b->log();
  const long long a_before = revoked(a);
  EXPECT_EQ(c->stop(), 0) << c->log();
  ASSERT_TRUE(within(60s, [&] {
    return a->sum_after("Partitions assigned: ") + b->sum_after("Partitions assigned: ") == partitions + 4 + 2;
  }));
  EXPECT_EQ(b->stop(), 0) << b->log();
  ASSERT_TRUE(within(60s, [&] { return a->sum_after("Partitions assigned: ") - revoked(a) == partitions; }))
      << a->log();
  // The hosts that stay keep every partition they had: nothing of theirs pauses.
  EXPECT_EQ(revoked(a), a_before) << a->log();
  const auto produced = producer.stop();
  expect_each_offset_stored_once(produced);
  EXPECT_EQ(a->stop(), 0) << a->log();
  EXPECT_EQ(processed(), total(produced)) << "messages processed more than once";
}

TEST_F(KafkaHandoff, AHostFrozenInASaveCannotPutAnOlderOffsetBack) {
  LiveProducer producer(*cluster, 400);
  // The frozen host's saves take 1.5 s, as a large state's would.
  auto a = start("a", {}, {{"VESK_TEST_SAVE_DELAY_MS", "1500"}});
  auto b = start("b");
  ASSERT_TRUE(within(60s, [&] { return processes(*a) && processes(*b); }));
  std::atomic<bool> polling{true};
  std::atomic<int> decreases{0};
  std::thread poller([&] {
    std::vector<Offset> last(partitions, -1);
    while (polling) {
      const auto now = stored_offsets();
      for (std::size_t p = 0; p < now.size(); ++p) {
        if (now[p] >= 0 && now[p] < last[p]) ++decreases;
        last[p] = std::max(last[p], now[p]);
      }
      std::this_thread::sleep_for(20ms);
    }
  });
  const int collected = a->count("Collected ");
  ASSERT_TRUE(within(30s, [&] { return a->count("Collected ") > collected; }));
  // Its save is in flight now: frozen well past its session, while the other host takes over.
  a->signal(SIGSTOP);
  const auto at_freeze = stored_offsets();
  ASSERT_TRUE(within(60s, [&] {
    const auto now = stored_offsets();
    for (std::size_t p = 0; p < now.size(); ++p) {
      if (now[p] <= at_freeze[p]) return false;
    }
    return true;
  })) << b->log();
  a->signal(SIGCONT);
  EXPECT_TRUE(within(30s, [&] { return a->count("Checkpoint not stored: partition ") > 0; })) << a->log();
  const auto produced = producer.stop();
  expect_each_offset_stored_once(produced);
  polling = false;
  poller.join();
  EXPECT_EQ(decreases, 0) << "a stored offset went back";
  EXPECT_EQ(a->stop(), 0) << a->log();
  EXPECT_EQ(b->stop(), 0) << b->log();
}

TEST_F(KafkaHandoff, AStaticMemberRestartingWithinItsSessionTakesNothingFromTheOthers) {
  if (on_mock_cluster) {
    // Its group coordinator (librdkafka 2.0.2) ignores group.instance.id: a restarted static
    // member joins as a new member, and the group rebalances as it would without one.
    GTEST_SKIP() << "static membership needs a real Kafka cluster";
  }
  LiveProducer producer(*cluster, 400);
  const std::vector<std::string> a_id{"group.instance.id=host-a", "session.timeout.ms=15000"};
  auto a = start("a", a_id);
  auto b = start("b", {"group.instance.id=host-b", "session.timeout.ms=15000"});
  ASSERT_TRUE(within(60s, [&] {
    return held(*a) > 0 && held(*b) > 0 && held(*a) + held(*b) == partitions && processes(*a) && processes(*b);
  }));
  const int b_revoked = b->count("Partitions revoked"), b_assigned = b->count("Partitions assigned");
  EXPECT_EQ(a->stop(), 0) << a->log();
  a = start("a-again", a_id);
  ASSERT_TRUE(within(30s, [&] { return processes(*a); })) << a->log();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(b->count("Partitions revoked"), b_revoked) << b->log();
  EXPECT_EQ(b->count("Partitions assigned"), b_assigned) << b->log();
  const auto produced = producer.stop();
  expect_each_offset_stored_once(produced);
  EXPECT_EQ(a->stop(), 0) << a->log();
  EXPECT_EQ(b->stop(), 0) << b->log();
  EXPECT_EQ(processed(), total(produced)) << "messages processed more than once";
}

}  // namespace

#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"

#include "log_capture.hpp"
#include "mock_cluster.hpp"
#include "unused_port.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::EventLoop;
using vesk::KafkaError;
using vesk::Message;
using vesk::PartitionId;
using vesk::PartitionState;
using vesk::Task;
using vesk::VeskKafkaFeed;
using vesk::testing::LogCapture;
using vesk::testing::MockKafkaCluster;

// gtest's ASSERT_* return from the function, which a coroutine cannot do.
#define CO_ASSERT_EQ(a, b)        \
  do {                            \
    EXPECT_EQ(a, b);              \
    if (!((a) == (b))) co_return; \
  } while (0)
#define CO_ASSERT_FALSE(c) \
  do {                     \
    EXPECT_FALSE(c);       \
    if (c) co_return;      \
  } while (0)

namespace {

using Clock = std::chrono::steady_clock;

// Records every call with the thread it came on.
class RecordingListener : public vesk::VeskRebalanceListener {
 public:
  struct Call {
    char kind;  // 'a' assigned, 'r' revoked
    std::vector<PartitionId> partitions;
    std::thread::id thread;
  };

  void on_partitions_revoked(const std::vector<PartitionId>& revoked) override {
    calls.push_back({'r', revoked, std::this_thread::get_id()});
    for (auto p : revoked) current.erase(p);
  }
  void on_partitions_assigned(const std::vector<PartitionId>& assigned) override {
    calls.push_back({'a', assigned, std::this_thread::get_id()});
    current.insert(assigned.begin(), assigned.end());
  }

  std::vector<Call> calls;
  std::set<PartitionId> current;
};

// Callers pass plain lambdas and literals: g++ 12 mishandles temporaries that own memory inside
// a co_await expression.
template <class Condition>
Awaitable<void> wait_until(const Condition& condition, std::chrono::milliseconds limit, const char* what) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) throw std::runtime_error(std::string("timed out waiting for ") + what);
    co_await vesk::sleep(20ms);
  }
}

std::unique_ptr<VeskKafkaFeed> make_feed(const MockKafkaCluster& cluster, const std::string& topic,
                                         const vesk::Logger& logger, const std::string& group = "group",
                                         VeskKafkaFeed::ExtraProperties extra = {}) {
  return std::make_unique<VeskKafkaFeed>(cluster.bootstrap_servers(), group, topic, "", "", "", "", logger,
                                         std::move(extra));
}

Awaitable<void> seek_to(VeskKafkaFeed& feed, PartitionId partition, vesk::Offset offset) {
  const PartitionState state{partition, offset, {}};
  co_await feed.seek(state);
}

// Reads batches until `count` messages arrived.
Awaitable<std::vector<Message>> read_messages(VeskKafkaFeed& feed, PartitionId partition, std::size_t count) {
  std::vector<Message> all;
  while (all.size() < count) {
    auto batch = co_await feed.get_many(partition);
    EXPECT_FALSE(batch.empty());
    EXPECT_LE(batch.size(), 1000u);
    all.insert(all.end(), batch.begin(), batch.end());
  }
  co_return all;
}

using vesk::testing::unused_port;

}  // namespace

TEST(KafkaFeedSettings, FallbacksAndValuesReachTheClientUnchanged) {
  LogCapture log;
  VeskKafkaFeed defaults("127.0.0.1:1", "g", "t", "", "", "", "", log.logger());
  EXPECT_EQ(defaults.client_properties(), (VeskKafkaFeed::ClientProperties{
                                              {"bootstrap.servers", "127.0.0.1:1"},
                                              {"group.id", "g"},
                                              {"sasl.mechanism", "PLAINTEXT"},
                                              {"security.protocol", "PLAINTEXT"},
                                              {"sasl.username", ""},
                                              {"sasl.password", ""},
                                              {"enable.auto.commit", "false"},
                                              {"partition.assignment.strategy", "cooperative-sticky"},
                                              {"auto.offset.reset", "earliest"},
                                              {"queued.min.messages", "1000000"},
                                              {"statistics.interval.ms", "1000"},
                                          }));

  VeskKafkaFeed given(" host:9093 ", " Group", "t", "scram-SHA-512 ", " sasl_ssl", " me", "pa ss ", log.logger(),
                      {{"session.timeout.ms", "6000"}});
  auto properties = given.client_properties();
  ASSERT_EQ(properties.size(), 12u);
  EXPECT_EQ(properties[0].second, " host:9093 ");
  EXPECT_EQ(properties[1].second, " Group");
  EXPECT_EQ(properties[2].second, "scram-SHA-512 ");
  EXPECT_EQ(properties[3].second, " sasl_ssl");
  EXPECT_EQ(properties[4].second, " me");
  EXPECT_EQ(properties[5].second, "pa ss ");
  EXPECT_EQ(properties[11], (std::pair<std::string, std::string>{"session.timeout.ms", "6000"}));
}

TEST(KafkaFeedSettings, FromEnvNamesTheEmptyVariable) {
  LogCapture log;
  ::setenv("KAFKA_BOOTSTRAP_SERVERS", "b:1", 1);
  ::setenv("KAFKA_GROUP_ID", "grp", 1);
  ::setenv("KAFKA_TOPIC", "", 1);
  ::setenv("KAFKA_SASL_MECHANISM", "PLAIN", 1);
  ::setenv("KAFKA_SECURITY_PROTOCOL", "", 1);
  ::setenv("KAFKA_SASL_USERNAME", "u", 1);
  ::unsetenv("KAFKA_SASL_PASSWORD");
  try {
    VeskKafkaFeed::from_env(log.logger());
    FAIL() << "an empty KAFKA_TOPIC was accepted";
  } catch (const vesk::ValueError& e) {
    EXPECT_THAT(e.what(), testing::HasSubstr("KAFKA_TOPIC"));
  }
  ::setenv("KAFKA_TOPIC", "top", 1);
  ::unsetenv("KAFKA_GROUP_ID");
  EXPECT_THROW(
      {
        try {
          VeskKafkaFeed::from_env(log.logger());
        } catch (const vesk::ValueError& e) {
          EXPECT_THAT(e.what(), testing::HasSubstr("KAFKA_GROUP_ID"));
          throw;
        }
      },
      vesk::ValueError);
  ::setenv("KAFKA_GROUP_ID", "grp", 1);
  auto feed = VeskKafkaFeed::from_env(log.logger());
  EXPECT_EQ(feed->kafka_bootstrap_servers, "b:1");
  EXPECT_EQ(feed->kafka_group_id, "grp");
  EXPECT_EQ(feed->kafka_topic, "top");
  EXPECT_EQ(feed->kafka_sasl_mechanism, "PLAIN");
  EXPECT_EQ(feed->kafka_security_protocol, "");
  EXPECT_EQ(feed->kafka_sasl_username, "u");
  EXPECT_EQ(feed->kafka_sasl_password, "");
  EXPECT_EQ(feed->logger, log.logger());
  EXPECT_FALSE(feed->running());
}

TEST(KafkaAssignmentListener, PassesPartitionNumbersInOrder) {
  auto engine = std::make_shared<RecordingListener>();
  VeskKafkaFeed::KafkaAssignmentListener adapter(vesk::null_logger(), engine);
  adapter.on_partitions_revoked({{"t", 3}, {"other", 7}});
  adapter.on_partitions_revoked({});
  adapter.on_partitions_assigned({{"t", 5}});
  ASSERT_EQ(engine->calls.size(), 3u);
  EXPECT_EQ(engine->calls[0].kind, 'r');
  EXPECT_EQ(engine->calls[0].partitions, (std::vector<PartitionId>{3, 7}));
  EXPECT_EQ(engine->calls[1].partitions, std::vector<PartitionId>{});
  EXPECT_EQ(engine->calls[2].kind, 'a');
  EXPECT_EQ(engine->calls[2].partitions, std::vector<PartitionId>{5});
}

TEST(KafkaFeed, StopBeforeStartAndTwiceIsHarmlessAndReadsNeedARunningSource) {
  LogCapture log;
  EventLoop loop;
  VeskKafkaFeed feed("127.0.0.1:1", "g", "t", "", "", "", "", log.logger());
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed.stop();
    co_await feed.stop();
    EXPECT_THROW(co_await feed.get_many(0), std::logic_error);
    EXPECT_THROW(co_await seek_to(feed, 0, 5), std::logic_error);
  }());
  EXPECT_FALSE(feed.running());
}

TEST(KafkaFeed, RefusedExtraSettingFailsStartNamingIt) {
  LogCapture log;
  EventLoop loop;
  VeskKafkaFeed feed("127.0.0.1:1", "g", "t", "", "", "", "", log.logger(), {{"no.such.setting", "1"}});
  loop.run_until_complete([&]() -> Awaitable<void> {
    try {
      co_await feed.start();
      ADD_FAILURE() << "start accepted an unknown client setting";
    } catch (const KafkaError& e) {
      EXPECT_THAT(e.what(), testing::HasSubstr("no.such.setting"));
    }
    co_await feed.stop();
  }());
}

TEST(KafkaFeed, StartFailsWithinTheBoundWhenNothingListens) {
  LogCapture log;
  EventLoop loop;
  VeskKafkaFeed feed("127.0.0.1:" + std::to_string(unused_port()), "g", "t", "", "", "", "", log.logger());
  loop.run_until_complete([&]() -> Awaitable<void> {
    // The loop keeps running while start waits.
    int ticks = 0;
    auto tick = [&]() -> Awaitable<void> {
      for (;;) {
        co_await vesk::sleep(100ms);
        ++ticks;
      }
    };
    auto ticker = Task<void>::create(tick());
    const auto began = Clock::now();
    EXPECT_THROW(co_await feed.start(), KafkaError);
    const auto took = Clock::now() - began;
    EXPECT_LT(took, 12s);
    EXPECT_GT(ticks, 50);
    // A failed start leaves the client to stop(), which releases it promptly.
    EXPECT_TRUE(feed.running());
    const auto stopping = Clock::now();
    co_await feed.stop();
    EXPECT_LT(Clock::now() - stopping, 5s);
    EXPECT_FALSE(feed.running());
    ticker.cancel();
  }());
  // The client's own complaints reach the logger at warning or error level.
  EXPECT_FALSE(log.texts(spdlog::level::err).empty());
}

TEST(KafkaFeed, ReadsRecordsExactlyInOffsetOrderAndSeeks) {
  MockKafkaCluster cluster;
  cluster.create_topic("events", 2);
  for (int i = 0; i < 60; ++i) {
    std::optional<std::string> key = i == 7 ? std::nullopt : std::optional<std::string>("key-" + std::to_string(i % 5));
    cluster.produce("events", 0, key, std::string("value\0-", 7) + std::to_string(i), 1700000000000 + i);
  }
  cluster.flush();

  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "events", log.logger());
  feed->set_listener(listener);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    EXPECT_EQ(feed->client_setting("bootstrap.servers"), cluster.bootstrap_servers());
    EXPECT_EQ(feed->client_setting("group.id"), "group");
    EXPECT_EQ(feed->client_setting("enable.auto.commit"), "false");
    EXPECT_EQ(feed->client_setting("sasl.mechanism"), "PLAINTEXT");
    co_await wait_until([&] { return listener->current.size() == 2; }, 20s, "the assignment");
    EXPECT_EQ(listener->calls.back().thread, std::this_thread::get_id());

    // The first seek also lets the paused partition fetch, and the fetch starts at once: the
    // client wakes its fetcher for a seek but not for a resume, which would wait up to a second.
    const auto seeking = std::chrono::steady_clock::now();
    co_await seek_to(*feed, 0, 0);
    auto all = co_await read_messages(*feed, 0, 60);
    // A missed wake-up costs a whole second; a real broker's first fetch of a new topic takes a
    // little longer than the mock's.
#ifdef VESK_TEST_REAL_KAFKA
    EXPECT_LT(std::chrono::steady_clock::now() - seeking, 900ms);
#else
    EXPECT_LT(std::chrono::steady_clock::now() - seeking, 600ms);
#endif
    CO_ASSERT_EQ(all.size(), 60u);
    for (int i = 0; i < 60; ++i) {
      EXPECT_EQ(all[i].offset, i);
      EXPECT_EQ(all[i].value, std::string("value\0-", 7) + std::to_string(i));
      EXPECT_EQ(all[i].timestamp, 1700000000000 + i);
      if (i == 7) {
        EXPECT_FALSE(all[i].key.has_value());
      } else {
        EXPECT_EQ(all[i].key, "key-" + std::to_string(i % 5));
      }
    }

    co_await seek_to(*feed, 0, 41);
    auto from41 = co_await feed->get_many(0);
    CO_ASSERT_FALSE(from41.empty());
    EXPECT_EQ(from41.front().offset, 41);
    co_await seek_to(*feed, 0, 0);
    auto from0 = co_await feed->get_many(0);
    CO_ASSERT_FALSE(from0.empty());
    EXPECT_EQ(from0.front().offset, 0);
    // Reading on from where the last batch ended: the seek is a no-op and nothing repeats.
    co_await seek_to(*feed, 0, from0.back().offset + 1);
    if (from0.back().offset + 1 < 60) {
      auto next = co_await feed->get_many(0);
      EXPECT_EQ(next.front().offset, from0.back().offset + 1);
    }

    EXPECT_THROW(co_await feed->get_many(5), KafkaError);
    co_await feed->stop();
    co_await feed->stop();
  }());
  // The final revoke ran on the loop thread, with both partitions.
  ASSERT_FALSE(listener->calls.empty());
  EXPECT_EQ(listener->calls.back().kind, 'r');
  EXPECT_EQ(std::set<PartitionId>(listener->calls.back().partitions.begin(), listener->calls.back().partitions.end()),
            (std::set<PartitionId>{0, 1}));
  EXPECT_EQ(listener->calls.back().thread, std::this_thread::get_id());
}

TEST(KafkaFeed, GetManyWaitsThroughEmptyFetchesWithoutBlockingTheLoop) {
  MockKafkaCluster cluster;
  cluster.create_topic("quiet", 2);
  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "quiet", log.logger());
  feed->set_listener(listener);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    co_await wait_until([&] { return listener->current.size() == 2; }, 20s, "the assignment");
    co_await seek_to(*feed, 0, 0);
    co_await seek_to(*feed, 1, 0);
    auto first = Task<std::vector<Message>>::create(feed->get_many(0));
    auto second = Task<std::vector<Message>>::create(feed->get_many(1));
    int ticks = 0;
    const auto began = Clock::now();
    while (Clock::now() - began < 2500ms) {
      co_await vesk::sleep(50ms);
      ++ticks;
    }
    EXPECT_GT(ticks, 30);
    EXPECT_FALSE(first.done());
    EXPECT_FALSE(second.done());
    cluster.produce("quiet", 1, "k", "late");
    cluster.flush();
    auto batch = co_await second.wait();
    CO_ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].value, "late");
    EXPECT_FALSE(first.done());
    cluster.produce("quiet", 0, std::nullopt, "later");
    cluster.flush();
    auto other = co_await first.wait();
    CO_ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].offset, 0);

    // A waiting get_many ends with cancellation when its task is cancelled.
    auto waiting = Task<std::vector<Message>>::create(feed->get_many(0));
    co_await vesk::sleep(100ms);
    waiting.cancel();
    co_await wait_until([&] { return waiting.done(); }, 2s, "the cancelled get_many");
    EXPECT_TRUE(waiting.cancelled());

    // One that is still waiting when the source stops fails instead of hanging.
    auto orphan = Task<std::vector<Message>>::create(feed->get_many(1));
    co_await vesk::sleep(100ms);
    co_await feed->stop();
    co_await wait_until([&] { return orphan.done(); }, 2s, "the orphaned get_many");
    EXPECT_TRUE(orphan.failed());
  }());
}

TEST(KafkaFeed, NeverReturnsMoreThanAThousand) {
  MockKafkaCluster cluster;
  cluster.create_topic("busy", 1);
  for (int i = 0; i < 2500; ++i) cluster.produce("busy", 0, "k" + std::to_string(i % 13), std::to_string(i));
  cluster.flush();
  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "busy", log.logger());
  feed->set_listener(listener);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    co_await wait_until([&] { return listener->current.size() == 1; }, 20s, "the assignment");
    vesk::Offset next = 0;
    while (next < 2500) {
      co_await seek_to(*feed, 0, next);
      // Time for the fetcher to queue more than a thousand, so that the cap is what stops a read;
      // how much a loaded machine has queued by then is not the point.
      co_await vesk::sleep(300ms);
      auto batch = co_await feed->get_many(0);
      CO_ASSERT_FALSE(batch.empty());
      CO_ASSERT_FALSE(batch.size() > 1000u);
      for (const auto& m : batch) {
        CO_ASSERT_EQ(m.offset, next);
        CO_ASSERT_EQ(m.value, std::to_string(next));
        ++next;
      }
    }
    co_await feed->stop();
  }());
}

TEST(KafkaFeed, ListenerSetAfterStartDoesNotReachTheRunningSubscription) {
  MockKafkaCluster cluster;
  cluster.create_topic("late", 3);
  LogCapture log;
  EventLoop loop;
  auto held = std::make_shared<RecordingListener>();
  auto later = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "late", log.logger());
  feed->set_listener(held);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    feed->set_listener(later);
    co_await wait_until([&] { return held->current.size() == 3; }, 20s, "the assignment");
    co_await feed->stop();
  }());
  EXPECT_TRUE(later->calls.empty());
  ASSERT_EQ(held->calls.size(), 2u);
  EXPECT_EQ(held->calls[1].kind, 'r');
}

TEST(KafkaFeed, OffsetResetByTheClientIsLoggedAsWarning) {
  MockKafkaCluster cluster;
  cluster.create_topic("short", 1);
  for (int i = 0; i < 5; ++i) cluster.produce("short", 0, "k", std::to_string(i));
  cluster.flush();
  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "short", log.logger());
  feed->set_listener(listener);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    co_await wait_until([&] { return listener->current.size() == 1; }, 20s, "the assignment");
    co_await seek_to(*feed, 0, 500);
    co_await wait_until(
        [&] {
          for (const auto& t : log.texts(spdlog::level::warn)) {
            if (t.find("offset reset") != std::string::npos || t.find("out of range") != std::string::npos) return true;
          }
          return false;
        },
        10s, "the offset-reset warning");
    co_await feed->stop();
  }());
}

TEST(KafkaFeed, TwoMembersShareThePartitionsAndTakeOverOnLeave) {
  MockKafkaCluster cluster;
  cluster.create_topic("shared", 4);
  for (int p = 0; p < 4; ++p) {
    for (int i = 0; i < 10; ++i) cluster.produce("shared", p, "k", std::to_string(p * 100 + i));
  }
  cluster.flush();
  LogCapture log;
  EventLoop loop;
  const VeskKafkaFeed::ExtraProperties quick{{"session.timeout.ms", "6000"}};
  auto first_listener = std::make_shared<RecordingListener>();
  auto second_listener = std::make_shared<RecordingListener>();
  auto first = make_feed(cluster, "shared", log.logger(), "group", quick);
  auto second = make_feed(cluster, "shared", log.logger(), "group", quick);
  first->set_listener(first_listener);
  second->set_listener(second_listener);
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await first->start();
    co_await wait_until([&] { return first_listener->current.size() == 4; }, 20s, "the first assignment");
    co_await second->start();
    co_await wait_until(
        [&] {
          return !second_listener->current.empty() &&
                 first_listener->current.size() + second_listener->current.size() == 4;
        },
        30s, "the shared assignment");
    for (auto* side : {&first, &second}) {
      auto& feed = **side;
      auto& owned = side == &first ? first_listener->current : second_listener->current;
      for (PartitionId p : owned) {
        co_await seek_to(feed, p, 0);
        auto batch = co_await read_messages(feed, p, 10);
        CO_ASSERT_EQ(batch.size(), 10u);
        EXPECT_EQ(batch.front().value, std::to_string(p * 100));
      }
    }
    co_await second->stop();
    co_await wait_until([&] { return first_listener->current.size() == 4; }, 30s, "the take-over");
    // Partitions that came back to the first member read from where they are told to.
    for (PartitionId p = 0; p < 4; ++p) {
      co_await seek_to(*first, p, 3);
      auto batch = co_await first->get_many(p);
      CO_ASSERT_FALSE(batch.empty());
      EXPECT_EQ(batch.front().offset, 3);
      EXPECT_EQ(batch.front().value, std::to_string(p * 100 + 3));
    }
    co_await first->stop();
  }());
}

// The lag the engine reports rests on this: the high watermark comes from the client's cache,
// which fetches keep current even while nothing is read, and is none once the source stops.
TEST(KafkaFeed, HighWatermarkFollowsProducesWithoutReadsAndIsNoneWhenStopped) {
  MockKafkaCluster cluster;
  cluster.create_topic("marks", 2);
  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "marks", log.logger());
  feed->set_listener(listener);
  for (int i = 0; i < 5; ++i) cluster.produce("marks", 0, "k", "v");
  cluster.flush();
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    co_await wait_until([&] { return listener->current.size() == 2; }, 20s, "the assignment");
    co_await seek_to(*feed, 0, 0);
    co_await seek_to(*feed, 1, 0);
    auto read = co_await read_messages(*feed, 0, 5);
    co_await wait_until([&] { return feed->high_watermark(0) == 5 && feed->high_watermark(1) == 0; }, 10s,
                        "the first high watermarks");
    for (int i = 0; i < 3; ++i) cluster.produce("marks", 0, "k", "later");
    cluster.flush();
    co_await wait_until([&] { return feed->high_watermark(0) == 8; }, 10s, "the high watermark after a produce");
    co_await feed->stop();
    EXPECT_EQ(feed->high_watermark(0), std::nullopt);
  }());
}

TEST(KafkaFeed, BrokerOutageIsNamedWithLagUnknownAndClearsOnceTheBrokerIsBack) {
  MockKafkaCluster cluster;
  if (!cluster.mock()) GTEST_SKIP() << "takes the mock cluster's broker down";
  cluster.create_topic("outage", 1);
  for (int i = 0; i < 5; ++i) cluster.produce("outage", 0, "k", "v");
  cluster.flush();

  LogCapture log;
  EventLoop loop;
  auto listener = std::make_shared<RecordingListener>();
  auto feed = make_feed(cluster, "outage", log.logger(), "outage", {{"session.timeout.ms", "6000"}});
  feed->unhealthy_after = 2s;
  feed->set_listener(listener);
  auto problems = [&] { return feed->health() ? feed->health()->problems : std::vector<std::string>{"no report"}; };
  loop.run_until_complete([&]() -> Awaitable<void> {
    co_await feed->start();
    co_await wait_until([&] { return listener->current.size() == 1; }, 20s, "the assignment");
    co_await seek_to(*feed, 0, 0);
    co_await read_messages(*feed, 0, 5);
    co_await wait_until([&] { return feed->health()->group_member && feed->high_watermark(0) == 5; }, 10s,
                        "membership");
    EXPECT_EQ(problems(), std::vector<std::string>{});

    rd_kafka_mock_broker_set_down(cluster.mock(), 1);
    co_await wait_until([&] { return problems().size() == 2; }, 20s, "both problems");
    EXPECT_THAT(problems()[0], testing::StartsWith("no Kafka broker reachable for "));
    EXPECT_THAT(problems()[0], testing::HasSubstr(" s: _TRANSPORT: "));
    EXPECT_THAT(problems()[1], testing::StartsWith("not a member of consumer group outage for "));
    // Not the last figure the client heard, which would read as "caught up".
    EXPECT_EQ(feed->high_watermark(0), std::nullopt);
    EXPECT_GE(*feed->health()->seconds_since_broker_contact, 2.0);
    // A few seconds of a client reconnecting over and over: its complaints, but not each repeat.
    co_await vesk::sleep(3s);
    EXPECT_GE(log.count_starting_with("Kafka client error: _TRANSPORT"), 1u);
    EXPECT_LE(log.count_starting_with("Kafka client error: _TRANSPORT"), 2u) << testing::PrintToString(log.texts());

    rd_kafka_mock_broker_set_up(cluster.mock(), 1);
    co_await wait_until([&] { return problems().empty() && feed->high_watermark(0) == 5; }, 30s, "recovery");
    co_await feed->stop();
  }());
}

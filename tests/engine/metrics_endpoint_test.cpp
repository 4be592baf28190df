// The metrics endpoint over a running engine with real workers: /healthz turns 503 naming a
// partition whose worker is stopped mid-batch, and 200 again once it goes on; /metrics counts
// what was processed. And which partitions the health rule calls unhealthy.
#include "vesk/vesk_metrics_endpoint/vesk_metrics_endpoint.hpp"

#include "engine_fixture.hpp"
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::PartitionId;
using vesk::Vesk;
using vesk::testing::eventually;

namespace {

struct Answer {
  int status = 0;
  std::string body;
};

// One GET, made off the loop thread: the endpoint takes its snapshot on the loop.
Awaitable<Answer> get(int port, std::string path) {
  auto job = [port, path] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto result = client.Get(path.c_str());
    return result ? Answer{result->status, result->body} : Answer{};
  };
  co_return co_await vesk::run_blocking(std::move(job));
}

class MetricsEndpointTest : public vesk::testing::EngineFixture {};

TEST_F(MetricsEndpointTest, AStoppedWorkerTurnsHealthz503NamingItsPartitionAnd200OnceItGoesOn) {
  auto feed = std::make_shared<vesk::VeskMemoryFeed>(log.logger(), 2, 100ms);
  Vesk engine(log.logger(), backend, 1, 500ms);
  engine.source(feed).process(handler("examples.counting.KeyCounter"));
  constexpr auto stall = 2s;
  loop.run_until_complete([&]() -> Awaitable<void> {
    auto endpoint = vesk::serve_metrics(engine, {"127.0.0.1", 0, stall});
    engine.start();
    for (PartitionId p = 0; p < 2; ++p) {
      for (int i = 0; i < 10; ++i) feed->produce(p, "key-" + std::to_string(i % 3), "v");
    }
    const int port = endpoint->port();
    Answer answer;
    auto answers = [&](int status, auto accept, std::chrono::milliseconds limit) -> Awaitable<bool> {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      for (;;) {
        answer = co_await get(port, "/healthz");
        if (answer.status == status && accept(answer.body)) co_return true;
        if (std::chrono::steady_clock::now() >= deadline) co_return false;
        co_await vesk::sleep(200ms);
      }
    };
    auto any = [](const std::string&) { return true; };
    EXPECT_TRUE(co_await stored_offsets_reach(2, 10, 30s));
    EXPECT_TRUE(co_await answers(200, any, 10s)) << answer.status << " " << answer.body;
    auto metrics = co_await get(port, "/metrics");
    EXPECT_NE(metrics.body.find("vesk_messages_processed_total{partition=\"1\"} 10\n"), std::string::npos)
        << metrics.body;

    const pid_t worker = (*engine._partition_consumers.find(1))->_worker_processes[0].process->pid();
    ::kill(worker, SIGSTOP);
    const auto stopped_at = std::chrono::steady_clock::now();
    feed->produce(0, "key-0", "v");
    feed->produce(1, "key-0", "v");
    // Within the stall time and a few scrapes; partition 0 drained its message and stays healthy.
    auto names_only_partition_1 = [](const std::string& body) {
      auto unhealthy = nlohmann::json::parse(body)["unhealthy"];
      return unhealthy.size() == 1 && unhealthy[0]["partition"] == 1 &&
             unhealthy[0]["reason"].get<std::string>().find("no progress") != std::string::npos;
    };
    const bool stalled = co_await answers(503, names_only_partition_1, stall + 15s);
    const auto stalled_after = std::chrono::steady_clock::now() - stopped_at;
    ::kill(worker, SIGCONT);
    EXPECT_TRUE(stalled) << answer.status << " " << answer.body;
    // Not before its batch has waited the whole stall time: an idle spell before it is no stall.
    EXPECT_GE(stalled_after, stall);
    EXPECT_TRUE(co_await answers(200, any, 15s)) << answer.status << " " << answer.body;
    co_await engine.stop();
    co_await feed->stop();
  }());
}

TEST(HealthReport, OnlyPartitionsWithoutAConsumerOrStalledWithLagAreUnhealthy) {
  auto partition = [](PartitionId id, bool live, std::optional<std::int64_t> lag, double idle) {
    vesk::PartitionSnapshot p;
    p.partition = id;
    p.consumer_live = live;
    p.lag = lag;
    p.seconds_since_progress = idle;
    return p;
  };
  vesk::MetricsSnapshot snapshot;
  snapshot.partitions = {partition(0, true, 0, 500), partition(1, true, std::nullopt, 500), partition(2, true, 5, 59),
                         partition(3, true, 5, 61), partition(4, false, 0, 0)};
  auto report = vesk::health_report(snapshot, 60s);
  EXPECT_FALSE(report.healthy);
  auto unhealthy = nlohmann::json::parse(report.json)["unhealthy"];
  ASSERT_EQ(unhealthy.size(), 2u) << report.json;
  EXPECT_EQ(unhealthy[0]["partition"], 3);
  EXPECT_EQ(unhealthy[1]["partition"], 4);
  EXPECT_EQ(unhealthy[1]["reason"], "no live consumer");
  snapshot.partitions.resize(3);
  EXPECT_TRUE(vesk::health_report(snapshot, 60s).healthy);
}

TEST(HealthReport, SourceProblemsAreUnhealthyAndAMemberWithoutPartitionsIsNot) {
  vesk::MetricsSnapshot snapshot;
  snapshot.source = vesk::SourceHealth{{}, 0.4, true};
  auto idle = vesk::health_report(snapshot, 60s);
  EXPECT_TRUE(idle.healthy) << idle.json;
  EXPECT_EQ(nlohmann::json::parse(idle.json)["note"], "a member of its consumer group with no partitions assigned");

  snapshot.source = vesk::SourceHealth{
      {"no Kafka broker reachable for 42 s: _TRANSPORT: gone", "not a member"}, 42.0, false};
  auto gone = vesk::health_report(snapshot, 60s);
  EXPECT_FALSE(gone.healthy);
  const auto body = nlohmann::json::parse(gone.json);
  EXPECT_EQ(body["reason"], "no Kafka broker reachable for 42 s: _TRANSPORT: gone; not a member") << gone.json;
  EXPECT_FALSE(body.contains("note"));
  EXPECT_NE(vesk::prometheus_text(snapshot).find("vesk_broker_contact_age_seconds 42\n"), std::string::npos);
}

}  // namespace

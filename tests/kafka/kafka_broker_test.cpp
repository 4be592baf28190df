// The engine and vesk-run on Apache Kafka, through what a real cluster does and the mock does not:
// brokers killed, frozen and restarted, leaders and the group coordinator lost, and credentials
// checked. One source for three binaries: one node; one node with SASL and TLS; three nodes.
// Each test runs where its cluster allows and is skipped elsewhere.
#include "vesk/vesk.hpp"

#include "log_capture.hpp"
#include "real_kafka.hpp"
#include "stored_offsets.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "worker_spy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using namespace vesk;
using namespace vesk::testing;

namespace {

using Clock = std::chrono::steady_clock;

struct Exit {
  int status = -1;  // -1: killed after the time limit
  std::string output;
  std::chrono::duration<double> took{};
};

// Runs vesk-run with `env` added to the environment; standard error is the output.
Exit run_vesk(const std::filesystem::path& directory, const std::vector<std::pair<std::string, std::string>>& env,
              std::vector<std::string> args, std::chrono::seconds limit) {
  const auto log = directory / "vesk-run.log";
  args.insert(args.begin(), VESK_TEST_VESK_RUN);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto began = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::FILE* out = std::fopen(log.c_str(), "w");
    if (out) ::dup2(::fileno(out), STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Exit result;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - began > limit) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  result.took = Clock::now() - began;
  if (status != -1) result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  result.output = text.str();
  return result;
}

std::vector<std::pair<std::string, std::string>> kafka_env(const std::string& bootstrap, const std::string& group,
                                                           const std::string& topic) {
  return {{"KAFKA_BOOTSTRAP_SERVERS", bootstrap},
          {"KAFKA_GROUP_ID", group},
          {"KAFKA_TOPIC", topic},
          {"VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR},
          {"VESK_WORKER_PROGRAM", VESK_TEST_WORKER_PROGRAM}};
}

class KafkaBroker : public ::testing::Test {
 public:
  std::filesystem::path directory = vesk::testing::fresh_test_directory("vesk-kafka-broker");
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  std::shared_ptr<vesk::VeskLocalFileBackend> backend = std::make_shared<vesk::VeskLocalFileBackend>(directory.string(),
                                                                                                     "");
  vesk::VeskStateStore store{backend, vesk::null_logger()};
  RealKafkaCluster cluster;

  void SetUp() override { ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1); }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Message i of partition p has key "p<p>-<i % 20>"; KeyCounter counts per key.
  void produce(const std::string& topic, int partitions, int from, int to, bool flush = true) {
    for (int i = from; i < to; ++i) {
      for (int p = 0; p < partitions; ++p)
        cluster.produce(topic, p, "p" + std::to_string(p) + "-" + std::to_string(i % 20), "v");
    }
    if (flush) cluster.flush();
  }

  // The messages counted in the partition's stored state, and its stored offset.
  std::pair<std::int64_t, vesk::Offset> counted(PartitionId partition) {
    auto state = loop.run_until_complete(store.get_partition_state(partition));
    std::int64_t sum = 0;
    if (!state) return {0, -1};
    for (const auto& [key, count] : state->state) sum += count.as_int();
    return {sum, state->offset};
  }

  void expect_exact(int partitions, vesk::Offset end) {
    for (PartitionId p = 0; p < partitions; ++p) {
      EXPECT_EQ(counted(p), (std::pair<std::int64_t, vesk::Offset>{end, end})) << "partition " << p;
    }
  }

  // Runs the engine over `backlog` messages a partition, then `fault` (off the loop), which may
  // call the producer of `more` messages a partition while it lasts; then every message must be
  // stored within 30 s of the fault's end, each counted once, without the engine reconnecting.
  void through_fault(const std::string& topic, int partitions,
                     const std::function<void(const std::function<void()>&)>& fault) {
    constexpr int backlog = 3000;
    constexpr int more = 1000;
    cluster.create_topic(topic, partitions);
    produce(topic, partitions, 0, backlog);
    auto feed = std::make_shared<vesk::VeskKafkaFeed>(real_kafka().bootstrap(), topic, topic, "", "", "", "",
                                                      log.logger());
    auto handler = std::shared_ptr<vesk::StreamHandlerBase>(
        vesk::create_stream_handler("examples.counting.KeyCounter"));
    std::optional<std::chrono::duration<double>> resumed_after;
    loop.run_until_complete([&]() -> Awaitable<void> {
      vesk::Vesk engine(log.logger(), backend, 1, 200ms);
      engine.source(feed).process(handler);
      engine.start();
      EXPECT_TRUE(co_await vesk::testing::stored_offsets_reach(store, partitions, backlog, 60s));
      auto produce_more = [&] { produce(topic, partitions, backlog, backlog + more, false); };
      auto job = [&] {
        fault(produce_more);
        cluster.flush();
      };
      co_await vesk::run_blocking(std::move(job));
      const auto back = Clock::now();
      if (co_await vesk::testing::stored_offsets_reach(store, partitions, backlog + more, 30s))
        resumed_after = Clock::now() - back;
      co_await engine.stop();
      co_await feed->stop();
    }());
    EXPECT_TRUE(resumed_after) << "not every message was stored within 30 s of the broker's return";
    if (resumed_after) std::cout << "stored everything " << resumed_after->count() << " s after the fault ended\n";
    expect_exact(partitions, backlog + more);
    EXPECT_EQ(log.count_starting_with("Connecting to source..."), 1u) << "the engine reconnected";
  }
};

bool single_plain() { return real_kafka().options.nodes == 1 && !real_kafka().options.sasl; }

TEST_F(KafkaBroker, VeskRunCatchesUpOnEightPartitionsExactlyAndResumesFromStoredOffsets) {
  if (!single_plain()) GTEST_SKIP() << "runs on the plain single node";
  constexpr int partitions = 8;
  cluster.create_topic("caught-up", partitions);
  produce("caught-up", partitions, 0, 2000);
  const auto env = kafka_env(real_kafka().bootstrap(), "caught-up", "caught-up");
  const std::vector<std::string> args{"--handler",
                                      "examples.counting.KeyCounter",
                                      "--until-caught-up",
                                      "--checkpoint-interval",
                                      "0.5",
                                      "--state-dir",
                                      directory.string()};
  auto first = run_vesk(directory, env, args, 90s);
  ASSERT_EQ(first.status, 0) << first.output;
  expect_exact(partitions, 2000);

  produce("caught-up", partitions, 2000, 2500);
  auto second = run_vesk(directory, env, args, 90s);
  ASSERT_EQ(second.status, 0) << second.output;
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_THAT(second.output,
                ::testing::HasSubstr("State found for partition " + std::to_string(p) + ", starting from offset 2000"));
  }
  expect_exact(partitions, 2500);
}

TEST_F(KafkaBroker, BrokerKilledAndRestartedLosesNothingAndProgressResumes) {
  if (!single_plain()) GTEST_SKIP() << "runs on the plain single node";
  through_fault("killed", 4, [](const std::function<void()>& produce_more) {
    real_kafka().kill();
    produce_more();
    std::this_thread::sleep_for(3s);
    real_kafka().start();
  });
}

TEST_F(KafkaBroker, BrokerFrozenForTwentySecondsLosesNothingAndProgressResumes) {
  if (!single_plain()) GTEST_SKIP() << "runs on the plain single node";
  through_fault("frozen", 4, [](const std::function<void()>& produce_more) {
    real_kafka().signal_node(1, SIGSTOP);
    produce_more();
    std::this_thread::sleep_for(20s);
    real_kafka().signal_node(1, SIGCONT);
  });
}

TEST_F(KafkaBroker, LeaderOfSomePartitionsKilledLosesNothingWithoutARestart) {
  if (real_kafka().options.nodes != 3) GTEST_SKIP() << "needs three nodes";
  through_fault("leaders", 6, [](const std::function<void()>& produce_more) {
    const int leader = real_kafka().leader_of("leaders", 0);
    real_kafka().signal_node(leader, SIGKILL);
    produce_more();
    std::this_thread::sleep_for(5s);
    real_kafka().start_stopped_nodes();
  });
}

TEST_F(KafkaBroker, GroupCoordinatorKilledLosesNothingWithoutARestart) {
  if (real_kafka().options.nodes != 3) GTEST_SKIP() << "needs three nodes";
  through_fault("coordinated", 6, [](const std::function<void()>& produce_more) {
    const int coordinator = real_kafka().coordinator_of("coordinated");
    real_kafka().signal_node(coordinator, SIGKILL);
    produce_more();
    std::this_thread::sleep_for(5s);
    real_kafka().start_stopped_nodes();
  });
}

TEST_F(KafkaBroker, ScramAndPlainOverSaslAndScramOverTlsConsumeEverything) {
  if (!real_kafka().options.sasl || !real_kafka().options.tls) GTEST_SKIP() << "needs SASL and TLS";
  cluster.create_topic("secured", 2);
  produce("secured", 2, 0, 300);
  struct Way {
    std::string protocol, mechanism, bootstrap;
    std::vector<std::string> extra;
  };
  const std::vector<Way> ways{
      {"SASL_PLAINTEXT", "SCRAM-SHA-512", real_kafka().bootstrap(), {}},
      {"SASL_PLAINTEXT", "PLAIN", real_kafka().bootstrap(), {}},
      {"SASL_SSL",
       "SCRAM-SHA-512",
       real_kafka().bootstrap_tls(),
       {"--kafka-property", "ssl.ca.location=" + real_kafka().ca_file()}},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.protocol + " " + way.mechanism);
    std::filesystem::remove_all(directory / "state");
    auto env = kafka_env(way.bootstrap, "secured-" + way.protocol + "-" + way.mechanism, "secured");
    env.insert(env.end(), {{"KAFKA_SECURITY_PROTOCOL", way.protocol},
                           {"KAFKA_SASL_MECHANISM", way.mechanism},
                           {"KAFKA_SASL_USERNAME", real_kafka().user()},
                           {"KAFKA_SASL_PASSWORD", real_kafka().password()}});
    std::vector<std::string> args{
        "--handler",   "examples.counting.KeyCounter", "--until-caught-up", "--checkpoint-interval", "0.5",
        "--state-dir", (directory / "state").string()};
    args.insert(args.end(), way.extra.begin(), way.extra.end());
    auto run = run_vesk(directory, env, args, 60s);
    EXPECT_EQ(run.status, 0) << run.output;
    vesk::VeskStateStore states{std::make_shared<vesk::VeskLocalFileBackend>((directory / "state").string(), ""),
                                vesk::null_logger()};
    for (PartitionId p = 0; p < 2; ++p) {
      auto state = loop.run_until_complete(states.get_partition_state(p));
      EXPECT_TRUE(state && state->offset == 300) << "partition " << p << "\n" << run.output;
    }
  }
}

TEST_F(KafkaBroker, WrongPasswordIsOneErrorLineNamingMechanismAndBrokerAndVeskRunFails) {
  if (!real_kafka().options.sasl) GTEST_SKIP() << "needs SASL";
  for (const std::string mechanism : {"SCRAM-SHA-512", "PLAIN"}) {
    auto env = kafka_env(real_kafka().bootstrap(), "refused", "refused");
    env.insert(env.end(), {{"KAFKA_SECURITY_PROTOCOL", "SASL_PLAINTEXT"},
                           {"KAFKA_SASL_MECHANISM", mechanism},
                           {"KAFKA_SASL_USERNAME", real_kafka().user()},
                           {"KAFKA_SASL_PASSWORD", "wrong"}});
    auto run = run_vesk(directory, env,
                        {"--handler", "examples.counting.KeyCounter", "--state-dir", directory.string()}, 60s);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_LT(run.took, 30s);
    std::vector<std::string> errors;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("] [error] ") != std::string::npos) errors.push_back(line);
    }
    ASSERT_EQ(errors.size(), 1u) << run.output;
    EXPECT_THAT(errors[0], ::testing::HasSubstr("SASL mechanism " + mechanism));
    EXPECT_THAT(errors[0], ::testing::HasSubstr(real_kafka().bootstrap()));
  }
}

}  // namespace

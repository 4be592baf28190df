// Only the worker a consumer started takes its channel: the whole engine, with real worker
// processes that an intruder (channel_intruder) races to the listener.
#include "vesk/vesk.hpp"
#include "vesk/worker_process.hpp"

#include "engine_test_support.hpp"
#include "log_capture.hpp"
#include "stored_offsets.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using vesk::Awaitable;
using vesk::testing::ScopedEnv;

namespace {

class WorkerChannelSecurity : public ::testing::Test {
 public:
  std::filesystem::path directory = std::filesystem::temp_directory_path() /
                                    ("vesk-channel-security-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
  ScopedEnv handler_path{"VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR};
  ScopedEnv worker_program{"VESK_WORKER_PROGRAM", VESK_TEST_INTRUDER_PROGRAM};
  ScopedEnv real_worker{"VESK_INTRUDER_WORKER", VESK_TEST_WORKER_PROGRAM};
  ScopedEnv report{"VESK_INTRUDER_REPORT", (directory / "report").string()};
  ScopedEnv capture{"VESK_INTRUDER_CAPTURE", (directory / "captured-handshake").string()};
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  std::shared_ptr<vesk::VeskLocalFileBackend> backend;
  std::shared_ptr<vesk::VeskStateStore> store;
  int produced = 0;

  void SetUp() override {
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory / "states");
    backend = std::make_shared<vesk::VeskLocalFileBackend>(directory / "states");
    store = std::make_shared<vesk::VeskStateStore>(backend, vesk::null_logger());
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Adds `count` messages over keys key-0 … key-9 and runs an engine with `workers` workers,
  // started through the intruder in `mode`, until every message is checkpointed.
  void run_engine(const std::string& mode, int workers, int count) {
    ScopedEnv frame{"VESK_INTRUDER_FRAME", mode};
    produced += count;
    auto feed = std::make_shared<vesk::VeskMemoryFeed>(log.logger(), 1, 200ms);
    for (int i = 0; i < produced; ++i) feed->produce(0, "key-" + std::to_string(i % 10), "m", i);
    loop.run_until_complete([&]() -> Awaitable<void> {
      vesk::Vesk engine(log.logger(), backend, workers, 200ms);
      engine.source(feed).process(
          std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter")));
      engine.start();
      EXPECT_TRUE(co_await vesk::testing::stored_offsets_reach(*store, 1, produced, 60s));
      co_await engine.stop();
      co_await feed->stop();
    }());
  }

  // Every key counted exactly `each` times, and no other key.
  void expect_only_real_states(int each) {
    auto state = loop.run_until_complete(store->get_partition_state(0));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->state.size(), 10u);
    for (const auto& [key, count] : state->state) {
      EXPECT_THAT(key.as_text(), ::testing::StartsWith("key-"));
      EXPECT_EQ(count, vesk::Value(each)) << key.as_text();
    }
  }

  std::string report_text() const {
    std::ifstream in(directory / "report");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t refusals() const {
    std::size_t n = 0;
    for (const auto& line : log.texts(spdlog::level::warn))
      n += line.starts_with("Refused a connection to the worker channel");
    return n;
  }
};

TEST_F(WorkerChannelSecurity, AnIntruderBeforeTheWorkerIsRefusedAndOnlyRealStatesAreStored) {
  run_engine("guess", 2, 200);
  EXPECT_EQ(report_text(), "refused\nrefused\n");
  EXPECT_EQ(refusals(), 2u);
  EXPECT_THAT(log.texts(spdlog::level::warn).front(), HasSubstr("its handshake does not carry the secret"));
  expect_only_real_states(20);
}

TEST_F(WorkerChannelSecurity, AHandshakeReplayedOnANewConsumerIsRefused) {
  run_engine("capture", 1, 100);
  EXPECT_EQ(refusals(), 0u);
  run_engine("replay", 1, 100);
  EXPECT_EQ(report_text(), "refused\n");
  EXPECT_EQ(refusals(), 1u);
  expect_only_real_states(20);
}

TEST_F(WorkerChannelSecurity, WorkersStartWithTheirSecretAndWithoutTheHostsCredentials) {
  ScopedEnv password{"KAFKA_SASL_PASSWORD", "hunter2"};
  ScopedEnv connection{"AZURE_STORAGE_CONNECTION_STRING", "AccountName=a;AccountKey=c2VjcmV0"};
  ScopedEnv user{"KAFKA_SASL_USERNAME", "alice"};
  ScopedEnv inherited{"VESK_WORKER_SECRET", "another-workers-secret"};
  const std::string out = (directory / "environment").string();
  vesk::WorkerProcess shell("/bin/sh", {"-c", "env > \"$0.tmp\" && mv \"$0.tmp\" \"$0\"", out}, "this-workers-secret");
  for (int i = 0; i < 1000 && !std::filesystem::exists(out); ++i) std::this_thread::sleep_for(10ms);
  std::ifstream in(out);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_THAT(s.str(), HasSubstr("\nKAFKA_SASL_USERNAME=alice\n"));
  EXPECT_THAT(s.str(), HasSubstr("\nVESK_WORKER_SECRET=this-workers-secret\n"));
  for (const char* withheld : {"hunter2", "c2VjcmV0", "another-workers-secret"}) {
    EXPECT_THAT(s.str(), ::testing::Not(HasSubstr(withheld)));
  }
}

}  // namespace

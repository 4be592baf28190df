// The engine with real worker processes and the in-memory source, driven into worker-side
// faults: a handler that fails, and a state that a collection cannot send.
#include "vesk/vesk.hpp"

#include "eventually.hpp"
#include "log_capture.hpp"
#include "stored_offsets.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"
#include "worker_spy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::Dict;
using vesk::Value;
using vesk::Vesk;
using vesk::VeskMemoryFeed;

namespace {

class WorkerFault : public ::testing::Test {
 public:
  std::filesystem::path directory = vesk::testing::fresh_test_directory("vesk-worker-fault");
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  vesk::testing::WorkerSpy workers{VESK_WORKER_PROGRAM, directory};
  std::shared_ptr<vesk::VeskLocalFileBackend> backend = std::make_shared<vesk::VeskLocalFileBackend>(
      directory.string());
  vesk::VeskStateStore store{backend, vesk::null_logger()};
  std::shared_ptr<VeskMemoryFeed> feed = std::make_shared<VeskMemoryFeed>(log.logger(), 1, 200ms);

  void SetUp() override { ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1); }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Runs an engine with one worker on `handler_path` while `body` runs; then checks that every
  // worker has ended.
  template <class Body>
  void with_engine(const std::string& handler_path, Body body) {
    loop.run_until_complete([&]() -> Awaitable<void> {
      auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler(handler_path));
      {
        Vesk engine(log.logger(), backend, 1, 200ms);
        engine.source(feed).process(handler);
        engine.start();
        co_await body();
        co_await engine.stop();
        co_await feed->stop();
      }
      EXPECT_TRUE(co_await workers.all_ended()) << "a worker outlived the engine";
    }());
  }

  Awaitable<bool> stored_offset_reaches(vesk::Offset offset) {
    return vesk::testing::stored_offsets_reach(store, 1, offset, 30s);
  }

  // Runs the Flaky handler until `offset` is stored and the worker has said how many failures it
  // did not print; returns its error lines.
  std::vector<std::string> flaky_error_lines(vesk::Offset offset) {
    with_engine("tests.handlers.Flaky", [&]() -> Awaitable<void> {
      EXPECT_TRUE(co_await stored_offset_reaches(offset));
      EXPECT_TRUE(co_await vesk::testing::eventually(
          [&] { return !workers.lines_starting_with("Worker process error: 15 more").empty(); }, 10s));
    });
    return workers.lines_starting_with("Worker process error: ");
  }
};

TEST_F(WorkerFault, FailingMessagesArePrintedTenASecondAndKeepTheirKeysState) {
  for (int i = 0; i < 5; ++i) feed->produce(0, "k", "x");
  for (int i = 0; i < 25; ++i) feed->produce(0, "b", "boom");
  for (int i = 0; i < 5; ++i) feed->produce(0, "k", "x");
  const auto lines = flaky_error_lines(35);
  ASSERT_EQ(lines.size(), 11u) << workers.output();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(lines[i],
              "Worker process error: process failed at offset " + std::to_string(5 + i) + " for key 'b': boom");
  }
  EXPECT_EQ(lines[10], "Worker process error: 15 more process failures not printed");
  auto state = loop.run_until_complete(store.get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(Value(state->state), Value(Dict{{Value("k"), Value(10)}}));
}

TEST_F(WorkerFault, SkippedMessagesArePrintedTenASecond) {
  for (int i = 0; i < 25; ++i) feed->produce(0, std::nullopt, "x");
  const auto lines = flaky_error_lines(25);
  ASSERT_EQ(lines.size(), 11u) << workers.output();
  EXPECT_EQ(lines[0], "Worker process error: message at offset 0 skipped: it has no key");
  EXPECT_EQ(lines[10], "Worker process error: 15 more skipped messages not printed");
}

TEST_F(WorkerFault, AStateThatCannotBeSentFailsTheCheckpointAndBatchesGoOn) {
  feed->produce(0, "good", "x");
  feed->produce(0, "bad", "\xff");
  with_engine("tests.handlers.LastText", [&]() -> Awaitable<void> {
    EXPECT_TRUE(co_await vesk::testing::eventually(
        [&] { return log.count_starting_with("[p0] Error in checkpoint loop: ") >= 2; }, 20s));
    // Once the key holds a state that can be sent, the next checkpoint stores everything.
    feed->produce(0, "bad", "fixed");
    EXPECT_TRUE(co_await stored_offset_reaches(3));
  });
  auto state = loop.run_until_complete(store.get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(Value(state->state), Value(Dict{{Value("good"), Value("x")}, {Value("bad"), Value("fixed")}}));
  EXPECT_TRUE(workers.lines_starting_with("Worker process error: ").empty()) << workers.output();
}

}  // namespace

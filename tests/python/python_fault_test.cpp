// The engine running a Python handler that cannot be built in its workers: the worker ends at
// start with a clear message, the partition backs off instead of spinning, and it makes progress
// once the cause is gone.
#include "vesk/vesk.hpp"

#include "engine_fixture.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::Dict;
using vesk::testing::ScopedEnv;

namespace {

class PythonFault : public vesk::testing::EngineFixture {};

TEST_F(PythonFault, AHandlerThatCannotBeBuiltInItsWorkersBacksOffAndRecovers) {
  ScopedEnv python_path("PYTHONPATH", VESK_TEST_PYTHONPATH);
  const std::string flag = (directory / "fail").string();
  ScopedEnv fail("PY_HANDLERS_FAIL", flag);
  auto feed = std::make_shared<vesk::VeskMemoryFeed>(log.logger(), 1, 100ms);
  vesk::Vesk engine(log.logger(), backend, 1, 200ms);
  engine.source(feed).process(handler("py:py_handlers.FailsInWorkersWhileFlagged"));
  std::ofstream(flag) << "1";
  for (int i = 0; i < 10; ++i) feed->produce(0, "k", "v");
  loop.run_until_complete(
      [](PythonFault& t, vesk::Vesk& engine, vesk::VeskMemoryFeed& feed, const std::string& flag) -> Awaitable<void> {
        engine.start();
        EXPECT_TRUE(co_await t.logged("Error in partition consumer 0: "));
        EXPECT_TRUE(co_await t.logged("Retrying partition consumer 0 in ", 2, 30s));
        std::filesystem::remove(flag);
        EXPECT_TRUE(co_await t.stored_offsets_reach(1, 10, 60s));
        co_await engine.stop();
        co_await feed.stop();
        EXPECT_TRUE(co_await t.no_children_left());
      }(*this, engine, *feed, flag));
  EXPECT_LE(log.count_starting_with("Error in partition consumer 0: "), 6u) << "the partition must back off";
  auto state = loop.run_until_complete(store->get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, (Dict{{"k", 10}}));
}

}  // namespace

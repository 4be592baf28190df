#include "vesk/loop/event.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/gate.hpp"
#include "vesk/loop/logging.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::CancelledError;
using vesk::EventLoop;
using vesk::Task;

namespace {

using Clock = std::chrono::steady_clock;

Awaitable<int> sleep_then(std::chrono::milliseconds d, int value) {
  co_await vesk::sleep(d);
  co_return value;
}

Awaitable<void> sleep_then_fail(std::chrono::milliseconds d, std::string message) {
  co_await vesk::sleep(d);
  throw std::runtime_error(message);
}

TEST(Loop, RunningLoopIsFoundOnlyOnItsThread) {
  EXPECT_THROW(EventLoop::running(), vesk::NoRunningLoopError);
  EXPECT_THROW(Task<void>::create([]() -> Awaitable<void> { co_return; }()), vesk::NoRunningLoopError);
  EventLoop loop;
  EventLoop* seen = loop.run_until_complete([]() -> Awaitable<EventLoop*> { co_return &EventLoop::running(); }());
  EXPECT_EQ(seen, &loop);
  EXPECT_EQ(EventLoop::try_running(), nullptr);
}

TEST(Loop, TaskCancelledDuringSleepEndsPromptlyAndAwaitingRaisesCancellation) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    auto sleeper = Task<int>::create(sleep_then(10s, 1));
    co_await vesk::sleep(5ms);
    auto start = Clock::now();
    sleeper.cancel();
    EXPECT_THROW(co_await sleeper.wait(), CancelledError);
    EXPECT_LT(Clock::now() - start, 50ms);
    EXPECT_TRUE(sleeper.done());
    EXPECT_TRUE(sleeper.cancelled());
    EXPECT_FALSE(sleeper.failed());
  }());
}

TEST(Loop, TaskCancelledBeforeItStartsNeverRuns) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    bool ran = false;
    auto task = Task<void>::create([](bool& ran) -> Awaitable<void> {
      ran = true;
      co_return;
    }(ran));
    task.cancel();
    EXPECT_THROW(co_await task.wait(), CancelledError);
    EXPECT_FALSE(ran);
  }());
}

TEST(Loop, TaskStartsOnlyAfterItsCreatorSuspends) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    int step = 0;
    auto task = Task<int>::create([](int& step) -> Awaitable<int> { co_return step; }(step));
    step = 7;  // the task must see this: it has not run yet
    EXPECT_EQ(co_await task.wait(), 7);
  }());
}

TEST(Loop, CancellingTheAwaiterLeavesTheAwaitedTaskRunning) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    auto inner = Task<int>::create(sleep_then(100ms, 42));
    auto outer = Task<int>::create([](Task<int> inner) -> Awaitable<int> { co_return co_await inner.wait(); }(inner));
    co_await vesk::sleep(10ms);
    outer.cancel();
    EXPECT_THROW(co_await outer.wait(), CancelledError);
    EXPECT_FALSE(inner.done());
    EXPECT_EQ(co_await inner.wait(), 42);
  }());
}

TEST(Loop, AwaitingAFailedTaskRethrowsTheSameError) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    auto failing = Task<void>::create(sleep_then_fail(1ms, "boom"));
    try {
      co_await failing.wait();
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "boom");
    }
    EXPECT_TRUE(failing.failed());
    // A second awaiter sees the very same exception object.
    std::exception_ptr first = failing.error();
    EXPECT_EQ(first, failing.error());
  }());
}

TEST(Loop, GatherReportsTheFirstErrorWhileTheOthersRunOn) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    std::vector<Task<void>> tasks;
    tasks.push_back(Task<void>::create(sleep_then_fail(60ms, "late")));
    tasks.push_back(Task<void>::create(sleep_then_fail(10ms, "early")));
    bool slow_finished = false;
    tasks.push_back(Task<void>::create([](bool& done) -> Awaitable<void> {
      co_await vesk::sleep(40ms);
      done = true;
    }(slow_finished)));
    auto start = Clock::now();
    try {
      co_await vesk::gather(tasks);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "early");
    }
    EXPECT_LT(Clock::now() - start, 35ms);
    EXPECT_FALSE(tasks[2].done());
    co_await vesk::sleep(80ms);
    EXPECT_TRUE(slow_finished);
    EXPECT_TRUE(tasks[0].failed());
  }());
}

TEST(Loop, GatherOfSuccessfulTasksWaitsForAll) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    std::vector<Task<int>> tasks{Task<int>::create(sleep_then(20ms, 1)), Task<int>::create(sleep_then(5ms, 2))};
    co_await vesk::gather(tasks);
    EXPECT_TRUE(tasks[0].done() && tasks[1].done());
    EXPECT_EQ(tasks[0].result() + tasks[1].result(), 3);
    co_await vesk::gather(std::vector<Task<int>>{});
  }());
}

TEST(Loop, WaitAnyReturnsTheFirstTaskToEndAndLeavesTheOthersRunning) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    auto slow = Task<int>::create(sleep_then(200ms, 1));
    auto quick = Task<void>::create(sleep_then_fail(5ms, "quick"));
    auto start = Clock::now();
    EXPECT_EQ(co_await vesk::wait_any(slow, quick), 1u);
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_FALSE(slow.done());
    EXPECT_TRUE(quick.failed());
    EXPECT_EQ(co_await vesk::wait_any(quick, slow), 0u);  // an ended task answers at once
    slow.cancel();
  }());
}

TEST(Loop, EventWakesEveryWaiterAndTimedWaitsTellSetFromTimeout) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    vesk::Event event;
    auto waiter = [](vesk::Event& e) -> Awaitable<void> { co_await e.wait(); };
    auto a = Task<void>::create(waiter(event));
    auto b = Task<void>::create(waiter(event));
    EXPECT_FALSE(co_await event.wait_for(20ms));
    EXPECT_FALSE(a.done());
    event.set();
    event.clear();  // a set undone at once still wakes those who waited
    co_await vesk::sleep(10ms);
    EXPECT_TRUE(a.done() && !a.failed());
    EXPECT_TRUE(b.done() && !b.failed());
    auto c = Task<void>::create(waiter(event));
    co_await vesk::sleep(10ms);
    c.cancel();
    co_await vesk::sleep(10ms);
    EXPECT_TRUE(c.cancelled());
    event.set();
    EXPECT_TRUE(co_await event.wait_for(1h));  // already set: at once
    // A timed wait on a task: the task runs on after a timeout.
    auto slow = Task<int>::create(sleep_then(100ms, 1));
    EXPECT_FALSE(co_await vesk::wait_for(slow, 10ms));
    EXPECT_TRUE(co_await vesk::wait_for(slow, 5s));
    EXPECT_EQ(slow.result(), 1);
  }());
}

TEST(Loop, ALoopThatLogsErrorsAndGoesOnStillStopsWhenCancelled) {
  EventLoop loop;
  vesk::testing::LogCapture log;
  loop.run_until_complete([](vesk::Logger logger) -> Awaitable<void> {
    auto looping = Task<void>::create([](vesk::Logger logger) -> Awaitable<void> {
      for (;;) {
        auto step = sleep_then_fail(1ms, "again");
        if (auto failure = co_await vesk::attempt(std::move(step)))
          logger->error("Error: " + vesk::error_text(failure));
      }
    }(logger));
    co_await vesk::sleep(20ms);
    looping.cancel();
    auto start = Clock::now();
    EXPECT_THROW(co_await looping.wait(), CancelledError);
    EXPECT_LT(Clock::now() - start, 20ms);
  }(log.logger()));
  EXPECT_GT(log.count_starting_with("Error: again"), 2u);
  EXPECT_EQ(log.count_starting_with("Error: task cancelled"), 0u);
}

TEST(Loop, GateCloseRefusesNewWorkAndWaitsForWorkInFlight) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    vesk::Gate gate;
    auto work = [](vesk::Gate& gate, std::chrono::milliseconds d) -> Awaitable<void> {
      vesk::Gate::Holder inside(gate);
      co_await vesk::sleep(d);
    };
    auto first = Task<void>::create(work(gate, 30ms));
    auto second = Task<void>::create(work(gate, 60ms));
    co_await vesk::sleep(5ms);
    EXPECT_EQ(gate.count(), 2u);
    auto closing = Task<void>::create(gate.close());
    co_await vesk::sleep(5ms);
    EXPECT_TRUE(gate.is_closed());
    EXPECT_THROW(gate.enter(), vesk::GateClosedError);
    EXPECT_FALSE(closing.done());
    co_await first.wait();
    co_await vesk::sleep(5ms);
    EXPECT_FALSE(closing.done());  // one piece is still in flight
    co_await second.wait();
    EXPECT_TRUE(co_await vesk::wait_for(closing, 5s));
    EXPECT_FALSE(closing.failed());
    // A close that waits can itself be cancelled.
    vesk::Gate busy;
    busy.enter();
    auto stuck = Task<void>::create(busy.close());
    co_await vesk::sleep(5ms);
    stuck.cancel();
    EXPECT_THROW(co_await stuck.wait(), CancelledError);
  }());
}

TEST(Loop, FireAndForgetLogsAFailureButNotACancellation) {
  EventLoop loop;
  vesk::testing::LogCapture log;
  loop.run_until_complete([](vesk::Logger logger) -> Awaitable<void> {
    auto& loop = EventLoop::running();
    vesk::fire_and_forget(loop, sleep_then_fail(1ms, "it broke"), logger, "Closing the thing");
    auto cancelled = []() -> Awaitable<void> {
      co_await vesk::sleep(1ms);
      throw CancelledError();
    };
    vesk::fire_and_forget(loop, cancelled(), logger, "Cancelled thing");
    co_await vesk::sleep(30ms);
  }(log.logger()));
  EXPECT_TRUE(log.contains("Closing the thing failed: it broke"));
  EXPECT_EQ(log.count_starting_with("Cancelled thing"), 0u);
}

TEST(Loop, BlockingCallRunsOffTheLoopWhileTimersFireAndResumesOnTheLoop) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    auto loop_thread = std::this_thread::get_id();
    std::atomic<int> ticks{0};
    auto ticker = Task<void>::create([](std::atomic<int>& ticks) -> Awaitable<void> {
      for (;;) {
        co_await vesk::sleep(5ms);
        ++ticks;
      }
    }(ticks));
    std::thread::id ran_on;
    int ticks_during = co_await vesk::run_blocking([&] {
      ran_on = std::this_thread::get_id();
      int before = ticks.load();
      std::this_thread::sleep_for(60ms);
      return ticks.load() - before;
    });
    EXPECT_NE(ran_on, loop_thread);
    EXPECT_EQ(std::this_thread::get_id(), loop_thread);
    EXPECT_GE(ticks_during, 5);
    ticker.cancel();
  }());
}

TEST(Loop, BlockingCallErrorsReachTheAwaiter) {
  EventLoop loop;
  loop.run_until_complete([]() -> Awaitable<void> {
    EXPECT_THROW(co_await vesk::run_blocking([] { throw std::logic_error("bad"); }), std::logic_error);
    co_await vesk::run_blocking([] {});
  }());
}

TEST(Loop, ErrorTextAndTraceDescribeTheError) {
  auto error = std::make_exception_ptr(std::runtime_error("disk full"));
  EXPECT_EQ(vesk::error_text(error), "disk full");
  EXPECT_NE(vesk::error_trace(error).find("std::runtime_error: disk full"), std::string::npos);
  EXPECT_TRUE(vesk::is_cancellation(std::make_exception_ptr(CancelledError())));
  EXPECT_TRUE(vesk::is_cancellation(std::make_exception_ptr(std::system_error(asio::error::operation_aborted))));
  EXPECT_FALSE(vesk::is_cancellation(error));
}

}  // namespace

TEST(Logging, DefaultLoggersTakeTheLevelOfVeskLogLevelAndIgnoreAWrongOne) {
  ::setenv("VESK_LOG_LEVEL", "warning", 1);
  EXPECT_EQ(vesk::named_logger("vesk.test.level-warning")->level(), spdlog::level::warn);
  ::setenv("VESK_LOG_LEVEL", "loud", 1);
  EXPECT_EQ(vesk::named_logger("vesk.test.level-wrong")->level(), spdlog::level::info);
  ::unsetenv("VESK_LOG_LEVEL");
  EXPECT_EQ(vesk::parse_log_level("off"), spdlog::level::off);
  EXPECT_EQ(vesk::parse_log_level("Info"), std::nullopt);
}

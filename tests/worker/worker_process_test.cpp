// The real worker program against a consumer end run by the test.

#include "protocol_values.hpp"
#include "spawned_worker.hpp"
#include "vesk/channel/channel.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/task.hpp"
#include "worker_end.hpp"
#include "worker_spy.hpp"

#include <gmock/gmock.h>
#include "loop_driver.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using namespace vesk;
using namespace vesk::testing;

const Value empty_map{Dict{}};
const Value no_changes = Value::tuple({Value(0), Value(Dict{})});
const std::vector<Message> none;

Message msg(std::string key, std::string value, vesk::Offset offset = 0) {
  return Message{std::move(key), std::move(value), 1700000000000, offset};
}

Message keyless(std::string value, vesk::Offset offset) { return Message{std::nullopt, std::move(value), 0, offset}; }

int count_lines_starting(const std::string& text, const std::string& prefix) {
  int n = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (text.compare(start, prefix.size(), prefix) == 0) ++n;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return n;
}

// One worker with its channel, as a partition consumer holds it.
struct Worker : WorkerEnd {
  std::unique_ptr<ChannelListener> listener;
  std::unique_ptr<SpawnedWorker> process;

  // The hand-over, kept as the consumer keeps it.
  Awaitable<void> hand_over(const Value& map) {
    held = map.as_dict();
    co_await conn->send(map);
  }
  // A collection as the consumer sees it: an answer of changes is applied to the map held from
  // the hand-over and earlier answers, and the whole map is returned; any other answer as it is.
  Awaitable<Value> collect() {
    Value reply = co_await exchange(collect_request);
    if (reply.is_dict()) {
      held = reply.as_dict();
      co_return reply;
    }
    if (!reply.is_tuple()) co_return reply;
    for (const auto& [key, state] : reply.as_tuple().at(1).as_dict()) {
      if (state.is_none()) {
        held.erase(key);
      } else {
        held.set(key, state);
      }
    }
    co_return Value(held);
  }
  Dict held;
};

std::unique_ptr<Worker> spawn(const std::string& path, std::vector<std::string> env = {},
                              const std::string& program = VESK_WORKER_PROGRAM,
                              std::vector<std::string> prefix_args = {}) {
  auto w = std::make_unique<Worker>();
  w->listener = std::make_unique<ChannelListener>();
  std::vector<std::string> args = std::move(prefix_args);
  args.insert(args.end(), {w->listener->host(), std::to_string(w->listener->port()), path});
  env.insert(env.begin(), "VESK_WORKER_SECRET=" + w->listener->secret());
  w->process = std::make_unique<SpawnedWorker>(program, args, VESK_TEST_HANDLER_DIR, std::move(env));
  return w;
}

Awaitable<std::unique_ptr<Worker>> start(const std::string& path) {
  auto w = spawn(path);
  w->conn = co_await w->listener->accept().wait();
  co_return w;
}

class WorkerProcess : public ::testing::Test {
 protected:
  // Runs `body` on the loop; a body that is still running after `limit` fails the test.
  void run(std::function<Awaitable<void>()> body, std::chrono::seconds limit = 20s) {
    vesk::testing::run_within(_loop, body, limit);
  }

  vesk::EventLoop _loop{1};
};

TEST_F(WorkerProcess, WithoutHandlerDrainsAtOnceAndReturnsTheHandOverMap) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("");
    const Value handed(Dict{{Value("a"), Value(1)}, {Value("b"), Value(List{Value(1), Value::bytes("x")})}});
    co_await w->hand_over(handed);
    const std::vector<Message> some{msg("a", "1"), msg("c", "2"), keyless("3", 5)};
    EXPECT_EQ(co_await w->batch(some), drained);
    EXPECT_EQ(co_await w->batch(none), drained);
    EXPECT_EQ(co_await w->collect(), handed);
    EXPECT_EQ(co_await w->collect(), handed);
    EXPECT_EQ(w->process->out(), "");
  });
}

TEST_F(WorkerProcess, KeyCounterCountsPerKeyAcrossBatches) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("examples.counting.KeyCounter");
    const Value handed(Dict{{Value("restored"), Value(5)}, {Value("old"), Value(2)}});
    co_await w->hand_over(handed);
    // Two messages of one key in one batch: the second sees the first's result.
    const std::vector<Message> batch1{msg("a", "x"), msg("a", "x"), msg("b", "x")};
    EXPECT_EQ(co_await w->batch(batch1), drained);
    const Value first = co_await w->collect();
    const Value expected1(
        Dict{{Value("restored"), Value(5)}, {Value("old"), Value(2)}, {Value("a"), Value(2)}, {Value("b"), Value(1)}});
    EXPECT_EQ(first, expected1);
    // A collection is answered with what changed since the last answer: here nothing.
    EXPECT_EQ(co_await w->exchange(collect_request), no_changes);
    // "forget" removes a key; for a key without state it changes nothing.
    const std::vector<Message> batch2{msg("a", "x"), msg("old", "forget"), msg("never", "forget")};
    EXPECT_EQ(co_await w->batch(batch2), drained);
    EXPECT_EQ(co_await w->batch(none), drained);
    const Value expected2(Dict{{Value("restored"), Value(5)}, {Value("a"), Value(3)}, {Value("b"), Value(1)}});
    EXPECT_EQ(co_await w->collect(), expected2);
  });
}

TEST_F(WorkerProcess, OffsetLogKeepsBatchOrderAndRecordStatesSurviveTheChannel) {
  run([]() -> Awaitable<void> {
    auto log = co_await start("examples.counting.OffsetLog");
    auto summary = co_await start("tests.handlers.Summarise");
    const Value log_handed(Dict{{Value("k"), Value(List{Value(3)})}});
    const Value summary_handed(
        Dict{{Value("k"), Value(Dict{{Value("count"), Value(1)}, {Value("last"), Value("a")}})}});
    co_await log->hand_over(log_handed);
    co_await summary->hand_over(summary_handed);
    const std::vector<Message> log1{msg("k", "", 10), msg("j", "", 11), msg("k", "", 12)};
    const std::vector<Message> log2{msg("k", "", 13)};
    EXPECT_EQ(co_await log->batch(log1), drained);
    EXPECT_EQ(co_await log->batch(log2), drained);
    const Value log_expected(Dict{{Value("k"), Value(List{Value(3), Value(10), Value(12), Value(13)})},
                                  {Value("j"), Value(List{Value(11)})}});
    EXPECT_EQ(co_await log->collect(), log_expected);
    const std::vector<Message> summary1{msg("k", "b"), msg("n", "c")};
    EXPECT_EQ(co_await summary->batch(summary1), drained);
    const Value summary_expected(
        Dict{{Value("k"), Value(Dict{{Value("count"), Value(2)}, {Value("last"), Value("b")}})},
             {Value("n"), Value(Dict{{Value("count"), Value(1)}, {Value("last"), Value("c")}})}});
    EXPECT_EQ(co_await summary->collect(), summary_expected);
  });
}

TEST_F(WorkerProcess, AHandlerFailureKeepsTheKeysStateAndTheBatchGoesOn) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("tests.handlers.Flaky");
    const Value handed(Dict{{Value("k"), Value(5)}});
    co_await w->hand_over(handed);
    const std::vector<Message> batch{msg("k", "boom"), msg("j", "x"), msg("k", "x"), msg("m", "boom")};
    EXPECT_EQ(co_await w->batch(batch), drained);
    const Value expected(Dict{{Value("k"), Value(6)}, {Value("j"), Value(1)}});
    EXPECT_EQ(co_await w->collect(), expected);
    EXPECT_EQ(w->process->out(),
              "Worker process error: process failed at offset 0 for key 'k': boom\n"
              "Worker process error: process failed at offset 0 for key 'm': boom\n");
  });
}

TEST_F(WorkerProcess, StringStatesThatAreNotUtf8TravelAsBytesAndComeBack) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("tests.handlers.LastValue");
    const Value handed(Dict{{Value("old"), Value::bytes("\xfe")}, {Value("t"), Value("text")}});
    co_await w->hand_over(handed);
    const std::vector<Message> batch{msg("k", std::string("\xff\0", 2)), msg("u", "h\xc3\xa9")};
    EXPECT_EQ(co_await w->batch(batch), drained);
    const Value expected(Dict{{Value("old"), Value::bytes("\xfe")},
                              {Value("t"), Value("text")},
                              {Value("k"), Value::bytes(std::string("\xff\0", 2))},
                              {Value("u"), Value("h\xc3\xa9")}});
    EXPECT_EQ(co_await w->collect(), expected);
  });
}

TEST_F(WorkerProcess, ACollectionThatCannotBeEncodedIsAnsweredWithTheKeyAndTheReason) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("tests.handlers.LastText");
    co_await w->hand_over(empty_map);
    const std::vector<Message> bad{msg("good", "x"), msg("bad", "\xff")};
    EXPECT_EQ(co_await w->batch(bad), drained);
    const Value refused = co_await w->collect();
    const std::string text = refused.is_text() ? refused.as_text() : refused.repr();
    EXPECT_THAT(text, ::testing::StartsWith("Cannot collect key states: key 'bad': "));
    EXPECT_THAT(text, HasSubstr("not valid UTF-8"));
    // The worker goes on, and answers with its map once the state can be sent.
    const std::vector<Message> fix{msg("bad", "fixed")};
    EXPECT_EQ(co_await w->batch(fix), drained);
    const Value expected(Dict{{Value("good"), Value("x")}, {Value("bad"), Value("fixed")}});
    EXPECT_EQ(co_await w->collect(), expected);
  });
}

TEST_F(WorkerProcess, KeylessAndNonUtf8KeysAreSkippedAloneWithOneLineEach) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("examples.counting.KeyCounter");
    co_await w->hand_over(empty_map);
    const std::vector<Message> batch{msg("a", "x", 1),        keyless("x", 7),          msg("\xff\xfe", "x", 8),
                                     msg("a", "x", 9),        msg("\xc0\x80", "x", 10), msg("\xed\xa0\x80", "x", 11),
                                     msg("\xc3\xa9", "x", 12)};
    EXPECT_EQ(co_await w->batch(batch), drained);
    const Value expected(Dict{{Value("a"), Value(2)}, {Value("\xc3\xa9"), Value(1)}});
    EXPECT_EQ(co_await w->collect(), expected);
    const std::string out = w->process->out();
    EXPECT_EQ(count_lines_starting(out, "Worker process error: "), 4) << out;
    EXPECT_THAT(out, HasSubstr("offset 7 skipped: it has no key"));
    EXPECT_THAT(out, HasSubstr("offset 8 skipped: its key is not valid UTF-8"));
    EXPECT_THAT(out, HasSubstr("offset 10 skipped"));  // an overlong form
    EXPECT_THAT(out, HasSubstr("offset 11 skipped"));  // a surrogate
  });
}

TEST_F(WorkerProcess, AnUnexpectedValueIsReportedAndAnswered) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("examples.counting.KeyCounter");
    co_await w->hand_over(empty_map);
    const Value odd(42);
    const Value reply = co_await w->exchange(odd);
    EXPECT_TRUE(reply.is_text() && reply.as_text().starts_with("unexpected value on the worker channel")) << reply;
    const std::vector<Message> batch{msg("a", "x")};
    EXPECT_EQ(co_await w->batch(batch), drained);
    EXPECT_THAT(w->process->out(), HasSubstr("Worker process error: unexpected value on the worker channel: int 42"));
  });
}

TEST_F(WorkerProcess, BadHandlerPathsEndTheWorkerWithAClearMessage) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"KeyCounter", "at least one '.'"},
      {"no.such.module.Handler", "no handler module named 'no.such.module'"},
      {"examples.counting.Missing", "has no class 'Missing'"},
      {"tests.handlers.Outer.Inner", "no handler module named 'tests.handlers.Outer'"},
      {"tests.handlers.FailsToConstruct", "refuses to be built"},
  };
  for (const auto& [path, reason] : cases) {
    run([&]() -> Awaitable<void> {
      auto w = co_await start(path);  // it connects before anything else
      bool closed = false;
      try {
        co_await w->conn->receive();
      } catch (const vesk::ChannelClosedError&) {
        closed = true;
      }
      EXPECT_TRUE(closed) << path;
      EXPECT_EQ(w->process->wait_exit(5000ms), 1) << path;
      EXPECT_THAT(w->process->err(), HasSubstr(reason)) << path;
    });
  }
}

TEST_F(WorkerProcess, AFirstValueThatIsNotAStateMapEndsTheWorker) {
  const std::vector<Value> firsts{Value(List{}), collect_request, Value(Dict{{Value(1), Value(2)}})};
  for (const Value& first : firsts) {
    run([&]() -> Awaitable<void> {
      auto w = co_await start("examples.counting.KeyCounter");
      co_await w->conn->send(first);
      EXPECT_EQ(w->process->wait_exit(5000ms), 1) << first;
      EXPECT_THAT(w->process->err(), HasSubstr("state map")) << first;
    });
  }
  run([&]() -> Awaitable<void> {  // a state that does not fit the handler's state type
    auto w = co_await start("examples.counting.KeyCounter");
    const Value unfit(Dict{{Value("k"), Value("seven")}});
    co_await w->conn->send(unfit);
    EXPECT_EQ(w->process->wait_exit(5000ms), 1);
    EXPECT_THAT(w->process->err(), HasSubstr("'k'"));
  });
}

TEST_F(WorkerProcess, AClosedChannelIsReportedOnceWhileTheWorkerLives) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("");
    co_await w->hand_over(empty_map);
    w->conn->close();
    // It keeps retrying once a second, but says the same thing only once a minute.
    co_await vesk::sleep(3500ms);
    EXPECT_EQ(w->process->wait_exit(0ms), std::nullopt);
    EXPECT_EQ(count_lines_starting(w->process->out(), "Worker process error: "), 1) << w->process->out();
  });
}

TEST_F(WorkerProcess, DiesWithTheProcessThatStartedIt) {
  run([]() -> Awaitable<void> {
    const std::string pid_file = "/tmp/vesk_worker_test." + std::to_string(::getpid()) + ".pid";
    std::remove(pid_file.c_str());
    // A shell starts the worker and stays its parent, as a host application would.
    auto w = spawn("", {"PID_FILE=" + pid_file}, "/bin/sh",
                   {"-c", "VESK_PARENT_PID=$$ \"$0\" \"$@\" & echo $! > \"$PID_FILE\"; wait", VESK_WORKER_PROGRAM});
    w->conn = co_await w->listener->accept().wait();
    co_await w->hand_over(empty_map);
    EXPECT_EQ(co_await w->batch(none), drained);
    const pid_t worker = std::stoi(SpawnedWorker::read_file(pid_file));
    std::remove(pid_file.c_str());
    ::kill(w->process->pid(), SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(w->process->wait_exit(5000ms).has_value());
    while (!process_gone(worker) && std::chrono::steady_clock::now() - killed < 1s) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(process_gone(worker)) << "worker " << worker << " outlived its parent by a second";
  });
}

TEST_F(WorkerProcess, ExitsAtOnceWhenItsParentIsAlreadyAnotherProcess) {
  run([]() -> Awaitable<void> {
    auto w = spawn("", {"VESK_PARENT_PID=1"});
    EXPECT_EQ(w->process->wait_exit(5000ms), 1);
    EXPECT_THAT(w->process->err(), HasSubstr("has already ended"));
    co_return;
  });
}

TEST_F(WorkerProcess, TheSecretLeavesTheWorkersEnvironmentAndAWrongOneEndsTheWorker) {
  run([]() -> Awaitable<void> {
    auto w = co_await start("");
    std::ifstream environ_file("/proc/" + std::to_string(w->process->pid()) + "/environ");
    const std::string environment((std::istreambuf_iterator<char>(environ_file)), {});
    EXPECT_THAT(environment, HasSubstr("VESK_PARENT_PID="));
    EXPECT_THAT(environment, ::testing::Not(HasSubstr(w->listener->secret())));

    auto wrong = spawn("", {"VESK_WORKER_SECRET=" + std::string(64, '0')});
    auto never = wrong->listener->accept();
    // The listener refuses it on this loop: wait without blocking the loop.
    for (int i = 0; i < 1000 && !wrong->process->wait_exit(0ms); ++i) co_await vesk::sleep(10ms);
    EXPECT_EQ(wrong->process->wait_exit(0ms), 1);
    EXPECT_THAT(wrong->process->err(), HasSubstr("the consumer refused this worker's handshake"));
    SpawnedWorker none(VESK_WORKER_PROGRAM, {w->listener->host(), std::to_string(w->listener->port()), ""},
                       VESK_TEST_HANDLER_DIR);
    EXPECT_EQ(none.wait_exit(5000ms), 1);
    EXPECT_THAT(none.err(), HasSubstr("VESK_WORKER_SECRET is not set"));
  });
}

TEST_F(WorkerProcess, RefusesABadCommandLine) {
  run([]() -> Awaitable<void> {
    SpawnedWorker no_path(VESK_WORKER_PROGRAM, {"127.0.0.1", "1"}, VESK_TEST_HANDLER_DIR);
    SpawnedWorker bad_port(VESK_WORKER_PROGRAM, {"127.0.0.1", "70000", ""}, VESK_TEST_HANDLER_DIR);
    EXPECT_EQ(no_path.wait_exit(5000ms), 2);
    EXPECT_EQ(bad_port.wait_exit(5000ms), 2);
    EXPECT_THAT(bad_port.err(), HasSubstr("70000"));
    co_return;
  });
}

TEST_F(WorkerProcess, ANoListenerAddressEndsTheWorker) {
  run([]() -> Awaitable<void> {
    std::uint16_t port = 0;
    {
      ChannelListener gone;
      port = gone.port();
    }
    SpawnedWorker w(VESK_WORKER_PROGRAM, {"127.0.0.1", std::to_string(port), ""}, VESK_TEST_HANDLER_DIR,
                    {"VESK_WORKER_SECRET=any"});
    EXPECT_EQ(w.wait_exit(5000ms), 1);
    EXPECT_THAT(w.err(), HasSubstr("cannot connect"));
    co_return;
  });
}

}  // namespace

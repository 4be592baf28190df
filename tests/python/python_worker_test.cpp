// The real worker program running Python handler classes, against a consumer end run by the test.

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
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using namespace vesk;
using namespace vesk::testing;

Message msg(std::string key, std::string value, vesk::Offset offset) {
  return Message{std::move(key), std::move(value), 0, offset};
}

struct Worker : WorkerEnd {
  ChannelListener listener;
  std::unique_ptr<SpawnedWorker> process;

  // Starts the worker program for `path`, directly or through `wrapper` (a shell command line).
  Worker(const std::string& path, const std::string& wrapper = "") {
    std::vector<std::string> args{listener.host(), std::to_string(listener.port()), path};
    std::string program = VESK_TEST_WORKER_PROGRAM;
    if (!wrapper.empty()) {
      args.insert(args.begin(), {"-c", wrapper, VESK_TEST_WORKER_PROGRAM});
      program = "/bin/sh";
    }
    process = std::make_unique<SpawnedWorker>(
        program, args, VESK_TEST_HANDLER_DIR,
        std::vector<std::string>{"VESK_WORKER_SECRET=" + listener.secret(), "PYTHONPATH=" VESK_TEST_PYTHONPATH,
                                 "LSAN_OPTIONS=suppressions=" VESK_TEST_LSAN_SUPPRESSIONS});
  }
  Awaitable<void> connect() { conn = co_await listener.accept().wait(); }
};

TEST(PythonWorker, AClassThatCannotBeLoadedEndsTheWorkerAtStartWithAClearMessage) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"py:no_such_module.Counter", "No module named 'no_such_module'"},
      {"py:py_handlers.Missing", "module 'py_handlers' has no class 'Missing'"},
  };
  for (const auto& [path, reason] : cases) {
    run_bounded([&]() -> Awaitable<void> {
      Worker w(path);
      co_await w.connect();  // it connects before it loads the class
      bool closed = false;
      try {
        co_await w.conn->receive();
      } catch (const vesk::ChannelClosedError&) {
        closed = true;
      }
      EXPECT_TRUE(closed) << path;
      EXPECT_EQ(w.process->wait_exit(20000ms), 1) << path;
      EXPECT_THAT(w.process->err(), HasSubstr("cannot load the Python handler '" + path + "'"));
      EXPECT_THAT(w.process->err(), HasSubstr(reason)) << path;
    });
  }
}

TEST(PythonWorker, AnExceptionInProcessKeepsTheKeysStateAndTheBatchGoesOn) {
  run_bounded([]() -> Awaitable<void> {
    Worker w("py:py_handlers.Counter");
    co_await w.connect();
    const Value handed(Dict{{Value("k"), Value(5)}});
    const Value expected(Dict{{Value("k"), Value(6)}, {Value("j"), Value(1)}});
    const std::vector<Message> batch{msg("k", "boom", 10), msg("j", "x", 11), msg("k", "x", 12), msg("m", "boom", 13)};
    co_await w.conn->send(handed);
    EXPECT_EQ(co_await w.batch(batch), drained);
    EXPECT_EQ(co_await w.exchange(collect_request), expected);
    // Each failure is reported with the Python type and message.
    const std::string out = w.process->out();
    EXPECT_THAT(out,
                HasSubstr("Worker process error: process failed at offset 10 for key 'k': ValueError: boom at 10"));
    EXPECT_THAT(out,
                HasSubstr("Worker process error: process failed at offset 13 for key 'm': ValueError: boom at 13"));
  });
}

TEST(PythonWorker, AStateThatIsNotPlainDataFailsTheCollectionNamingTheKey) {
  run_bounded([]() -> Awaitable<void> {
    Worker w("py:py_handlers.Literal");
    co_await w.connect();
    const Value empty{Dict{}};
    const std::vector<Message> batch{msg("fine", "1", 0), msg("word", "{1, 2}", 1)};
    co_await w.conn->send(empty);
    EXPECT_EQ(co_await w.batch(batch), drained);
    co_await w.conn->send(collect_request);
    // The worker answers with the reason instead of a state map, so the checkpoint fails at once.
    const Value reply = co_await w.conn->receive();
    EXPECT_TRUE(reply.is_text()) << reply.repr();
    if (reply.is_text()) {
      EXPECT_THAT(reply.as_text(),
                  HasSubstr("Cannot collect key states: key 'word': a state cannot hold a Python 'set'"));
    }
  });
}

bool maps_libpython(pid_t pid) {
  return SpawnedWorker::read_file("/proc/" + std::to_string(pid) + "/maps").find("/libpython3") != std::string::npos;
}

TEST(PythonWorker, OnlyWorkersOfPythonHandlersLoadTheInterpreter) {
  run_bounded([]() -> Awaitable<void> {
    Worker cpp("examples.counting.OffsetLog");
    Worker python("py:py_handlers.Counter");
    co_await cpp.connect();
    co_await python.connect();
    const Value empty{Dict{}};
    const Value no_changes = Value::tuple({Value(0), empty});
    for (Worker* w : {&cpp, &python}) {
      co_await w->conn->send(empty);
      // Its handler is loaded by now: answered with its (empty) map, or with no changes.
      const Value reply = co_await w->exchange(collect_request);
      EXPECT_TRUE(reply == empty || reply == no_changes) << reply;
    }
    EXPECT_FALSE(maps_libpython(cpp.process->pid()));
    EXPECT_TRUE(maps_libpython(python.process->pid()));
  });
}

TEST(PythonWorker, DiesWithTheProcessThatStartedIt) {
  run_bounded([]() -> Awaitable<void> {
    const std::string pid_file = "/tmp/vesk_python_worker_test." + std::to_string(::getpid()) + ".pid";
    std::remove(pid_file.c_str());
    // A shell starts the worker and stays its parent, as a host application would.
    Worker w("py:py_handlers.Sleeper", "VESK_PARENT_PID=$$ \"$0\" \"$@\" & echo $! > " + pid_file + "; wait");
    co_await w.connect();
    const Value empty{Dict{}};
    const std::vector<Message> batch{msg("k", "x", 0)};
    co_await w.conn->send(empty);
    EXPECT_EQ(co_await w.batch(batch), drained);  // its asyncio loop is running by now
    const pid_t worker = std::stoi(SpawnedWorker::read_file(pid_file));
    std::remove(pid_file.c_str());
    ::kill(w.process->pid(), SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.process->wait_exit(5000ms).has_value());
    while (!process_gone(worker) && std::chrono::steady_clock::now() - killed < 2s) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(process_gone(worker)) << "worker " << worker << " outlived its parent";
  });
}

}  // namespace

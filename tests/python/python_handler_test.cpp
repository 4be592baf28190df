// Handler classes written in Python, driven in this process through create_stream_handler("py:...").

#include "python_support.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/stream_handler/stream_handler.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

// Under the leak checker: the interpreter is never finalized, so its objects are not leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3.11.so\n"; }

namespace {

using ::testing::HasSubstr;
using vesk::Dict;
using vesk::List;
using vesk::StreamHandlerBase;
using vesk::Tuple;
using vesk::Value;

class PythonHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1);
    ::setenv("PYTHONPATH", VESK_TEST_PYTHONPATH, 1);
  }

  std::unique_ptr<StreamHandlerBase> make(const std::string& path) {
    auto handler = vesk::create_stream_handler(path);
    handler->load_key_states(Dict{});
    return handler;
  }

  // Runs one message; the error text when process failed.
  std::optional<std::string> feed(StreamHandlerBase& handler, const std::string& key, const std::string& value,
                                  vesk::Offset offset = 0) {
    try {
      _loop.run_until_complete(handler.process_message(vesk::Message{key, value, 1700000000000, offset}, key));
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::nullopt;
  }

  // The states as a collection sends them.
  Dict written(const StreamHandlerBase& handler) {
    std::string encoded;
    vesk::pickle::Writer writer(encoded);
    handler.write_key_states(writer);
    writer.finish();
    return vesk::pickle::loads(encoded).as_dict();
  }

  vesk::EventLoop _loop;
};

TEST_F(PythonHandler, ProcessKeepsRemovesAndOnFailureLeavesTheState) {
  auto handler = make("py:py_handlers.Counter");
  EXPECT_EQ(handler->get_module_path(), "py:py_handlers.Counter");
  EXPECT_EQ(feed(*handler, "a", "x"), std::nullopt);
  EXPECT_EQ(feed(*handler, "a", "x"), std::nullopt);
  EXPECT_EQ(feed(*handler, "b", "x"), std::nullopt);
  EXPECT_EQ(feed(*handler, "a", "boom", 7), "ValueError: boom at 7");
  EXPECT_EQ(feed(*handler, "b", "forget"), std::nullopt);
  EXPECT_EQ(feed(*handler, "c", "forget"), std::nullopt);  // no state, none stays none
  EXPECT_EQ(feed(*handler, "a", "x"), std::nullopt);
  EXPECT_EQ(written(*handler), (Dict{{Value("a"), Value(3)}}));
}

TEST_F(PythonHandler, CoroutinesThatAwaitAsyncioWorkRunOnTheWorkersLoop) {
  auto handler = make("py:py_handlers.Sleeper");
  for (int i = 0; i < 20; ++i) ASSERT_EQ(feed(*handler, i % 2 ? "odd" : "even", "x"), std::nullopt);
  EXPECT_EQ(written(*handler), (Dict{{Value("even"), Value(10)}, {Value("odd"), Value(10)}}));
}

TEST_F(PythonHandler, TasksAHandlerStartsRunWhileTheWorkerWaits) {
  auto handler = make("py:py_handlers.Background");
  ASSERT_EQ(feed(*handler, "k", "start"), std::nullopt);
  _loop.run_until_complete(vesk::sleep(std::chrono::milliseconds(500)));
  ASSERT_EQ(feed(*handler, "k", "count"), std::nullopt);
  EXPECT_EQ(written(*handler), (Dict{{Value("k"), Value(3)}}));
}

TEST_F(PythonHandler, StatesCrossAsPlainDataBothWays) {
  auto handler = make("py:py_handlers.Literal");
  const Value nested(Dict{{Value("list"), Value(List{Value(1), Value(-2.5), Value(true), Value()})},
                          {Value(Tuple{{Value(1), Value("t")}}), Value::bytes(std::string("\0\xff", 2))},
                          {Value(7), Value(Dict{{Value("deep"), Value(List{Value(List{})})}})}});
  const Dict handed{{Value("n"), Value(INT64_MIN)}, {Value("f"), Value(0.1)}, {Value("s"), Value("\xc3\xa9t\xc3\xa9")},
                    {Value("b"), Value(false)},     {Value("x"), nested},     {Value("t"), Value(Tuple{})}};
  handler->load_key_states(handed);
  for (const auto& [key, state] : handed) ASSERT_EQ(feed(*handler, key.as_text(), "keep"), std::nullopt);
  EXPECT_EQ(written(*handler), handed);

  ASSERT_EQ(feed(*handler, "n", "fields", 42), std::nullopt);
  const Value shown = written(*handler).at(Value("n"));
  EXPECT_EQ(shown,
            Value(List{Value::bytes("n"), Value::bytes("fields"), Value(1700000000000), Value(42), Value(INT64_MIN)}));
}

TEST_F(PythonHandler, AStateThatIsNotPlainDataFailsItsCollectionNamingTheKeyAndType) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"{1, 2}", "key 'word': a state cannot hold a Python 'set'"},
      {"[1, {'in': frozenset()}]", "key 'word': a state cannot hold a Python 'frozenset' (at state[1]['in'])"},
      {"2 ** 70", "key 'word': a state cannot hold an int beyond 64 bits"},
  };
  for (const auto& [literal, expected] : cases) {
    auto handler = make("py:py_handlers.Literal");
    ASSERT_EQ(feed(*handler, "fine", "1"), std::nullopt);
    ASSERT_EQ(feed(*handler, "word", literal), std::nullopt);  // kept as it is until collected
    try {
      std::string out;
      vesk::pickle::Writer writer(out);
      handler->write_key_states(writer);
      ADD_FAILURE() << literal << " was collected";
    } catch (const vesk::TypeError& e) {
      EXPECT_THAT(e.what(), HasSubstr(expected)) << literal;
    }
    ASSERT_EQ(feed(*handler, "word", "3"), std::nullopt);  // a plain state again: collections go on
    EXPECT_EQ(written(*handler), (Dict{{Value("fine"), Value(1)}, {Value("word"), Value(3)}}));
  }
}

TEST_F(PythonHandler, TheJsonAggregateExampleKeepsRunningFiguresAndRefusesOtherMessages) {
  auto handler = make("py:vesk_examples.json_aggregate.JsonAggregate");
  EXPECT_EQ(feed(*handler, "s", R"({"value": 4})"), std::nullopt);
  EXPECT_EQ(feed(*handler, "s", R"({"value": -1.5, "unit": "C"})"), std::nullopt);
  EXPECT_THAT(feed(*handler, "s", R"({"value": "hot"})").value_or(""), HasSubstr("ValueError: expected an object"));
  EXPECT_THAT(feed(*handler, "s", "not json").value_or(""), HasSubstr("JSONDecodeError"));
  EXPECT_EQ(feed(*handler, "s", R"({"value": 10})"), std::nullopt);
  const Dict expected{{Value("count"), Value(3)},
                      {Value("sum"), Value(12.5)},
                      {Value("min"), Value(-1.5)},
                      {Value("max"), Value(10.0)},
                      {Value("last"), Value(10.0)}};
  EXPECT_EQ(written(*handler), (Dict{{Value("s"), Value(expected)}}));
}

TEST_F(PythonHandler, ClassesThatCannotBeLoadedAreClearErrors) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"py:Counter", "expected 'py:<module>.<class>'"},
      {"py:no_such_module.Counter", "cannot import its module 'no_such_module': ModuleNotFoundError"},
      {"py:py_handlers.Missing", "module 'py_handlers' has no class 'Missing'"},
      {"py:py_handlers.Outer.Inner", "cannot import its module 'py_handlers.Outer'"},
      {"py:py_handlers.FailsToConstruct", "RuntimeError: refuses to be built"},
      {"py:py_broken.Handler", "SyntaxError"},
  };
  for (const auto& [path, reason] : cases) {
    try {
      vesk::create_stream_handler(path);
      ADD_FAILURE() << path << " was loaded";
    } catch (const vesk::HandlerLookupError& e) {
      EXPECT_THAT(e.what(), HasSubstr("'" + path + "'"));
      EXPECT_THAT(e.what(), HasSubstr(reason)) << path;
    }
  }
}

// The package on its own, in Debian's python3: the module paths its classes report.
TEST_F(PythonHandler, ThePackageNamesClassesByModuleAndQualifiedName) {
  vesk::testing::TempDir dir;
  vesk::testing::write_file(dir.path + "/derived.py", R"(
import vesk, py_handlers
class Derived(py_handlers.Counter):
    pass
)");
  const std::string script = R"(
import asyncio, vesk, py_handlers, derived
assert py_handlers.Counter().get_module_path() == "py:py_handlers.Counter"
assert derived.Derived().get_module_path() == "py:derived.Derived"
assert py_handlers.Outer.Inner().get_module_path() == "py:py_handlers.Outer.Inner"
for abstract in (vesk.StreamHandler, type("NoProcess", (vesk.StreamHandler,), {})):
    try:
        abstract()
        raise SystemExit(f"{abstract} was built")
    except TypeError:
        pass
class Delegating(vesk.StreamHandler):
    def process(self, message, state):
        return super().process(message, state)
m = vesk.Message(b"k", b"v", 3, 4)
assert Delegating().process(m, 1) is None and (m.key, m.value, m.timestamp, m.offset) == (b"k", b"v", 3, 4)
assert asyncio.run(py_handlers.Counter().process(m, 1)) == 2
print("ok")
)";
  vesk::testing::write_file(dir.path + "/check.py", script);
  auto [status, out] = vesk::testing::run_command("PYTHONPATH=" + dir.path + ":" + VESK_TEST_PYTHONPATH + " " +
                                                  VESK_TEST_PYTHON + " " + dir.path + "/check.py");
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "ok\n");
}

}  // namespace

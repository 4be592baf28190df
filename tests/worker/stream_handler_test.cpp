// State conversions, the handler base and the registry of handler classes.

#include "vesk/stream_handler/stream_handler.hpp"

#include "counting.hpp"
#include "vesk/stream_handler/handler_registry.hpp"
#include "vesk/stream_handler/value_traits.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace {

using ::testing::HasSubstr;
using vesk::Dict;
using vesk::Value;

const bool handler_path_set = [] {
  ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1);
  return true;
}();

template <class T>
T round_trip(const T& value) {
  return vesk::from_value<T>(vesk::to_value(value));
}

template <class T>
std::string conversion_error(const Value& value) {
  try {
    (void)vesk::from_value<T>(value);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

struct Point {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::optional<std::string> label;
  bool operator==(const Point&) const = default;
};
VESK_RECORD(Point, x, y, label)

TEST(ValueTraits, ScalarsConvertToTheirValueKinds) {
  EXPECT_EQ(vesk::to_value(std::int64_t{-5}), Value(-5));
  EXPECT_EQ(vesk::to_value(true), Value(true));
  EXPECT_EQ(vesk::to_value(2.5), Value(2.5));
  EXPECT_EQ(vesk::to_value(std::string("hé")), Value("hé"));
  EXPECT_EQ(vesk::to_value(vesk::Bytes{"\x00\xff"}), Value::bytes("\x00\xff"));
  // A string that pickle text cannot hold is kept as bytes, and bytes read back into a string.
  EXPECT_EQ(vesk::to_value(std::string("a\xff")), Value::bytes("a\xff"));
  EXPECT_EQ(vesk::from_value<std::string>(Value::bytes("a\xff")), "a\xff");
  EXPECT_EQ(round_trip(std::uint32_t{4000000000u}), 4000000000u);
  EXPECT_EQ(vesk::from_value<double>(Value(3)), 3.0);  // a whole float may arrive as an int
}

TEST(ValueTraits, ScalarMismatchesNameBothKinds) {
  EXPECT_THAT(conversion_error<std::int64_t>(Value("7")), HasSubstr("int"));
  EXPECT_THAT(conversion_error<std::int64_t>(Value("7")), HasSubstr("text"));
  EXPECT_THAT(conversion_error<std::int64_t>(Value(true)), HasSubstr("bool"));  // a bool is no int
  EXPECT_THAT(conversion_error<bool>(Value(1)), HasSubstr("int"));
  EXPECT_THAT(conversion_error<std::string>(Value(2.5)), HasSubstr("float"));
  EXPECT_THAT(conversion_error<std::int8_t>(Value(300)), HasSubstr("300"));
  EXPECT_THAT(conversion_error<std::uint16_t>(Value(-1)), HasSubstr("-1"));
}

TEST(ValueTraits, ContainersRoundTrip) {
  const std::vector<std::int64_t> offsets{3, 1, 2};
  EXPECT_EQ(vesk::to_value(offsets), Value(vesk::List{Value(3), Value(1), Value(2)}));
  EXPECT_EQ(round_trip(offsets), offsets);
  EXPECT_EQ(vesk::from_value<std::vector<std::int64_t>>(Value::tuple({Value(1)})), std::vector<std::int64_t>{1});

  const std::map<std::string, std::vector<std::pair<std::int64_t, std::string>>> nested{{"a", {{1, "x"}, {2, "y"}}},
                                                                                        {"b", {}}};
  const Value nested_value = vesk::to_value(nested);
  EXPECT_EQ(nested_value.as_dict().at(Value("a")),
            Value(vesk::List{Value::tuple({Value(1), Value("x")}), Value::tuple({Value(2), Value("y")})}));
  EXPECT_EQ(round_trip(nested), nested);

  const std::unordered_map<std::string, double> weights{{"k", 0.5}};
  EXPECT_EQ(round_trip(weights), weights);

  const std::tuple<std::int64_t, std::string, bool> triple{1, "two", false};
  EXPECT_EQ(vesk::to_value(triple), Value::tuple({Value(1), Value("two"), Value(false)}));
  EXPECT_EQ(round_trip(triple), triple);
  using IntPair = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(vesk::from_value<IntPair>(Value(vesk::List{Value(1), Value(2)})), IntPair(1, 2));
}

TEST(ValueTraits, OptionalsAndValuesPassThrough) {
  EXPECT_EQ(vesk::to_value(std::optional<std::int64_t>()), Value());
  EXPECT_EQ(vesk::from_value<std::optional<std::int64_t>>(Value()), std::nullopt);
  EXPECT_EQ(vesk::from_value<std::optional<std::int64_t>>(Value(4)), 4);
  const Value any = Value(vesk::List{Value(), Value::bytes("b"), Value(Dict{{Value(1), Value(2.0)}})});
  EXPECT_EQ(round_trip(any), any);
}

TEST(ValueTraits, ContainerErrorsSayWhereTheBadItemIs) {
  EXPECT_THAT(conversion_error<std::vector<std::int64_t>>(Value(vesk::List{Value(1), Value("x")})),
              HasSubstr("item 1"));
  EXPECT_THAT((conversion_error<std::map<std::string, std::int64_t>>(Value(Dict{{Value("k"), Value(1.5)}}))),
              HasSubstr("'k'"));
  EXPECT_THAT((conversion_error<std::map<std::string, std::int64_t>>(Value(Dict{{Value(1), Value(1)}}))),
              HasSubstr("text"));
  EXPECT_THAT((conversion_error<std::tuple<std::int64_t, std::int64_t>>(Value::tuple({Value(1)}))), HasSubstr("2"));
  EXPECT_THAT(conversion_error<std::vector<std::int64_t>>(Value(Dict{})), HasSubstr("dict"));
}

TEST(ValueTraits, RecordsBecomeDictsOfTheirFieldsInOrder) {
  const Point p{3, -4, "corner"};
  const Value v = vesk::to_value(p);
  ASSERT_TRUE(v.is_dict());
  const auto& entries = v.as_dict().entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].first, Value("x"));
  EXPECT_EQ(entries[1].first, Value("y"));
  EXPECT_EQ(entries[2].first, Value("label"));
  EXPECT_EQ(entries[2].second, Value("corner"));
  EXPECT_EQ(round_trip(p), p);
  EXPECT_EQ(round_trip(Point{1, 2, std::nullopt}), (Point{1, 2, std::nullopt}));
  // Field order in the dict does not matter when reading back.
  EXPECT_EQ(
      vesk::from_value<Point>(Value(Dict{{Value("label"), Value()}, {Value("y"), Value(2)}, {Value("x"), Value(1)}})),
      (Point{1, 2, std::nullopt}));
}

TEST(ValueTraits, RecordsRefuseMissingUnknownAndMistypedFields) {
  EXPECT_THAT(conversion_error<Point>(Value(Dict{{Value("x"), Value(1)}, {Value("label"), Value()}})),
              HasSubstr("'y' is missing"));
  EXPECT_THAT(conversion_error<Point>(Value(Dict{
                  {Value("x"), Value(1)}, {Value("y"), Value(2)}, {Value("label"), Value()}, {Value("z"), Value(3)}})),
              HasSubstr("unknown record field 'z'"));
  EXPECT_THAT(
      conversion_error<Point>(Value(Dict{{Value("x"), Value("1")}, {Value("y"), Value(2)}, {Value("label"), Value()}})),
      HasSubstr("'x'"));
  EXPECT_THAT(conversion_error<Point>(Value(vesk::List{})), HasSubstr("list"));
}

// --- the handler base ---------------------------------------------------------------------------

class WithoutProcess : public vesk::StreamHandler<std::int64_t> {};

class Delegating : public vesk::StreamHandler<std::int64_t> {
 public:
  vesk::Awaitable<std::optional<std::int64_t>> process(const vesk::Message& m, std::optional<std::int64_t> s) override {
    co_return co_await StreamHandler::process(m, s);
  }
};

class FailsOnBoom : public vesk::StreamHandler<std::vector<std::int64_t>> {
 public:
  vesk::Awaitable<std::optional<std::vector<std::int64_t>>> process(
      const vesk::Message& m, std::optional<std::vector<std::int64_t>> s) override {
    auto offsets = s.value_or(std::vector<std::int64_t>{});
    offsets.push_back(m.offset);
    if (m.value == "boom") throw std::runtime_error("boom");
    if (m.value == "forget") co_return std::nullopt;
    co_return offsets;
  }
};

static_assert(std::is_abstract_v<vesk::StreamHandlerBase>);
static_assert(std::is_abstract_v<vesk::StreamHandler<std::int64_t>>);
static_assert(std::is_abstract_v<WithoutProcess>);
static_assert(!std::is_abstract_v<Delegating>);

template <class T>
T run(vesk::Awaitable<T> body) {
  vesk::EventLoop loop(1);
  return loop.run_until_complete(std::move(body));
}

vesk::Message message(std::string key, std::string value, vesk::Offset offset = 0) {
  return vesk::Message{std::move(key), std::move(value), 0, offset};
}

// The state map as a collection sends it: written straight from the typed map, then decoded.
Value written_key_states(const vesk::StreamHandlerBase& handler) {
  std::string encoded;
  vesk::pickle::Writer writer(encoded);
  handler.write_key_states(writer);
  writer.finish();
  return vesk::pickle::loads(encoded);
}

TEST(StreamHandler, TheBaseProcessYieldsNone) {
  Delegating handler;
  EXPECT_EQ(run(handler.process(message("k", "v"), 5)), std::nullopt);
}

TEST(StreamHandler, KeepsTypedStatesBetweenHandOverAndCollection) {
  examples::counting::KeyCounter counter;
  vesk::StreamHandlerBase& handler = counter;
  handler.load_key_states(Dict{{Value("a"), Value(3)}, {Value("gone"), Value(1)}, {Value("kept"), Value(7)}});
  run([&]() -> vesk::Awaitable<void> {
    co_await handler.process_message(message("a", "x"), "a");
    co_await handler.process_message(message("b", "x"), "b");
    co_await handler.process_message(message("b", "x"), "b");
    co_await handler.process_message(message("gone", "forget"), "gone");
    co_await handler.process_message(message("never", "forget"), "never");
  }());
  EXPECT_EQ(written_key_states(handler),
            Value(Dict{{Value("a"), Value(4)}, {Value("b"), Value(2)}, {Value("kept"), Value(7)}}));
}

TEST(StreamHandler, AFailingProcessLeavesTheStateAsItWas) {
  FailsOnBoom handler;
  handler.load_key_states(Dict{{Value("k"), Value(vesk::List{Value(1)})}});
  run([&]() -> vesk::Awaitable<void> {
    co_await handler.process_message(message("k", "ok", 2), "k");
    EXPECT_THROW(co_await handler.process_message(message("k", "boom", 3), "k"), std::runtime_error);
    EXPECT_THROW(co_await handler.process_message(message("new", "boom", 4), "new"), std::runtime_error);
  }());
  EXPECT_EQ(written_key_states(handler), Value(Dict{{Value("k"), Value(vesk::List{Value(1), Value(2)})}}));
}

// The batch path looks keys up ahead while the table grows, loses and regains keys.
TEST(StreamHandler, ABatchEndsAsTheSameMessagesRunOneByOne) {
  std::vector<vesk::Message> messages;
  for (int i = 0; i < 3000; ++i) {
    const int pick = (i * 7919) % 100;
    messages.push_back(message("k" + std::to_string((i * 31) % 500),
                               pick < 5    ? "boom"
                               : pick < 10 ? "forget"
                                           : "x",
                               i));
  }
  FailsOnBoom batched, single;
  std::vector<vesk::Offset> batch_failures, single_failures;
  run([&]() -> vesk::Awaitable<void> {
    std::vector<const vesk::Message*> batch;
    for (const auto& m : messages) batch.push_back(&m);
    const vesk::StreamHandlerBase::ProcessFailed failed = [&](const vesk::Message& m, std::exception_ptr) {
      batch_failures.push_back(m.offset);
    };
    co_await batched.process_messages(batch, failed);
    for (const auto& m : messages) {
      try {
        co_await single.process_message(m, *m.key);
      } catch (const std::runtime_error&) {
        single_failures.push_back(m.offset);
      }
    }
  }());
  EXPECT_EQ(batch_failures, single_failures);
  const Value states = written_key_states(batched);
  EXPECT_EQ(states, written_key_states(single));
  EXPECT_GT(states.as_dict().size(), 300u);
}

TEST(StreamHandler, AHandOverStateOfTheWrongTypeNamesItsKey) {
  examples::counting::KeyCounter handler;
  try {
    handler.load_key_states(Dict{{Value("fine"), Value(1)}, {Value("bad"), Value("seven")}});
    FAIL() << "no error";
  } catch (const vesk::TypeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("'bad'"));
  }
}

// --- module paths and the registry ------------------------------------------------------------

class Plain : public Delegating {};
class Outer {
 public:
  class Inner : public Delegating {};
};
// Derived from a class of the module examples.counting, registered in this one.
class CountsToo : public examples::counting::KeyCounter {};
class NeverRegistered : public Delegating {};

VESK_REGISTER_HANDLER(Plain);
VESK_REGISTER_HANDLER(Outer::Inner);
VESK_REGISTER_HANDLER(CountsToo);

TEST(ModulePath, IsTheModuleNameAndTheQualifiedClassName) {
  EXPECT_EQ(Plain().get_module_path(), "tests.registry.Plain");
  EXPECT_EQ(Outer::Inner().get_module_path(), "tests.registry.Outer.Inner");
  EXPECT_EQ(CountsToo().get_module_path(), "tests.registry.CountsToo");
  // Held through the base the engine keeps, the run-time class still decides.
  std::shared_ptr<vesk::StreamHandlerBase> held = std::make_shared<CountsToo>();
  EXPECT_EQ(held->get_module_path(), "tests.registry.CountsToo");
}

TEST(ModulePath, OfAnUnregisteredClassIsAClearError) {
  try {
    (void)NeverRegistered().get_module_path();
    FAIL() << "no error";
  } catch (const vesk::HandlerLookupError& e) {
    EXPECT_THAT(e.what(), HasSubstr("NeverRegistered"));
    EXPECT_THAT(e.what(), HasSubstr("VESK_REGISTER_HANDLER"));
  }
}

TEST(ModulePath, OfClassesLoadedFromModules) {
  auto counter = vesk::create_stream_handler("examples.counting.KeyCounter");
  EXPECT_EQ(counter->get_module_path(), "examples.counting.KeyCounter");
  auto derived = vesk::create_stream_handler("tests.handlers.derived.DoubleCounter");
  EXPECT_EQ(derived->get_module_path(), "tests.handlers.derived.DoubleCounter");
  EXPECT_NE(dynamic_cast<examples::counting::KeyCounter*>(derived.get()), nullptr);
  // Once its module is loaded, a KeyCounter the host built itself knows its path too.
  EXPECT_EQ(examples::counting::KeyCounter().get_module_path(), "examples.counting.KeyCounter");
}

std::string creation_error(const std::string& path) {
  try {
    (void)vesk::create_stream_handler(path);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(HandlerRegistry, CreationFailuresSayWhatIsMissing) {
  EXPECT_THAT(creation_error("KeyCounter"), HasSubstr("at least one '.'"));
  EXPECT_THAT(creation_error("no.such.module.Handler"), HasSubstr("no handler module named 'no.such.module'"));
  EXPECT_THAT(creation_error("no.such.module.Handler"), HasSubstr(VESK_TEST_HANDLER_DIR));
  EXPECT_THAT(creation_error("examples.counting.Missing"), HasSubstr("has no class 'Missing'"));
  // A nested class's path names its enclosing class as a module, which does not exist.
  EXPECT_THAT(creation_error("tests.handlers.Outer.Inner"),
              HasSubstr("no handler module named 'tests.handlers.Outer'"));
  EXPECT_THAT(creation_error("../../tmp/evil.Handler"), HasSubstr("invalid handler module name"));
  EXPECT_THAT(creation_error(".Handler"), HasSubstr("invalid handler module name"));
  EXPECT_THAT(creation_error("tests.handlers.FailsToConstruct"), HasSubstr("refuses to be built"));
}

TEST(HandlerRegistry, SearchesTheEnvironmentPathThenTheInstallLocation) {
  ::setenv("VESK_HANDLER_PATH", "/first::/second:", 1);
  const auto dirs = vesk::HandlerRegistry::search_path();
  ::setenv("VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR, 1);
  ASSERT_EQ(dirs.size(), 3u);
  EXPECT_EQ(dirs[0], "/first");
  EXPECT_EQ(dirs[1], "/second");
  EXPECT_THAT(dirs[2], HasSubstr("vesk/handlers"));
  EXPECT_EQ(vesk::HandlerRegistry::module_file_name("examples.counting"), "examples.counting.so");
}

}  // namespace

// The worker's key table against a std::map through many inserts, updates and removals (which
// shift probe runs back), and its record of what changed and what was removed since last asked.
TEST(KeyTable, MatchesAMapAndReportsEveryChangeAndRemovalSinceItWasLastAsked) {
  vesk::detail::KeyTable<int> table;
  std::map<std::string, int> model;
  std::map<std::string, int> reported;  // the model as the last reports left it
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 5000; };
  for (int step = 0; step < 60000; ++step) {
    const std::string key = "k" + std::to_string(next() % 3000);
    const auto hash = table.hash_of(key);
    const auto at = table.find(key, hash);
    ASSERT_EQ(at != table.npos, model.count(key) == 1) << key << " at step " << step;
    if (at != table.npos) {
      EXPECT_EQ(table.at(at).state, model[key]);
    }
    if (next() % 3 == 0) {
      if (at != table.npos) table.erase(at);
      model.erase(key);
    } else if (at != table.npos) {
      table.at(at).state = step;
      table.mark_changed(at);
      model[key] = step;
    } else {
      table.insert(key, hash, step, true);
      model[key] = step;
    }
    if (step % 7000 == 0 || step == 59999) {
      for (const auto& gone : table.removed()) reported.erase(gone);
      for (auto index : table.changed()) reported[table.entries()[index].key] = table.entries()[index].state;
      table.forget_changes();
      ASSERT_EQ(reported, model) << "at step " << step;
    }
  }
  ASSERT_EQ(table.size(), model.size());
}

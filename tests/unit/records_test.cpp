#include "vesk/config/config.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using vesk::Dict;
using vesk::List;
using vesk::PartitionState;
using vesk::Value;

namespace {

PartitionState sample_state() {
  PartitionState s;
  s.partition = 4;
  s.offset = 120;
  s.state.set("count", 3);
  s.state.set("list", List{Value(1), Value("two"), Value::tuple({3.5, Value()})});
  s.state.set("nested", Dict{{"inner", Dict{{7, Value::bytes(std::string("\0x", 2))}}}});
  return s;
}

TEST(PartitionState, FieldDictRoundTripKeepsNestedValues) {
  PartitionState s = sample_state();
  Value fields = s.to_dict();
  std::vector<Value> keys;
  for (const auto& [k, v] : fields.as_dict()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Value>{"partition", "offset", "state"}));
  EXPECT_EQ(PartitionState::from_dict(fields), s);
  EXPECT_EQ(PartitionState::from_dict(sample_state().to_dict()), s);
}

std::string from_dict_error(Value fields) {
  try {
    (void)PartitionState::from_dict(fields);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(PartitionState, BadFieldDictsNameTheField) {
  Value good = sample_state().to_dict();

  Value unknown = good;
  unknown.as_dict().set("epoch", 1);
  EXPECT_EQ(from_dict_error(unknown), "PartitionState has no field 'epoch'");

  Value missing = Dict{{"partition", 1}, {"state", Dict{}}};
  EXPECT_EQ(from_dict_error(missing), "PartitionState field 'offset' is missing");

  Value wrong = good;
  wrong.as_dict().set("offset", "12");
  EXPECT_EQ(from_dict_error(wrong), "PartitionState field 'offset' must be an int, got text");

  Value bad_state = good;
  bad_state.as_dict().set("state", List{});
  EXPECT_EQ(from_dict_error(bad_state), "PartitionState field 'state' must be a dict, got list");

  Value bad_key = good;
  bad_key.as_dict().find_text("state")->as_dict().set(5, 1);
  EXPECT_EQ(from_dict_error(bad_key), "PartitionState field 'state' must have text keys, got the key 5");

  EXPECT_EQ(from_dict_error(List{}), "PartitionState must be built from a dict of its fields, got list");
  Value huge = good;
  huge.as_dict().set("partition", std::int64_t{1} << 40);
  EXPECT_NE(from_dict_error(huge).find("'partition' is out of range"), std::string::npos);
}

TEST(Message, NamedAndPositionalConstructionAgree) {
  vesk::Message positional{std::string("k"), "v", 17, 5};
  vesk::Message named{.key = "k", .value = "v", .timestamp = 17, .offset = 5};
  EXPECT_EQ(positional, named);
  named.key.reset();
  EXPECT_NE(positional, named);
}

TEST(Config, ReadsEachVariableAndUnsetIsEmpty) {
  ::setenv("KAFKA_TOPIC", "words", 1);
  ::setenv("AZURE_STORAGE_PREFIX", "states", 1);
  ::unsetenv("KAFKA_SASL_PASSWORD");
  auto c = vesk::Config::from_env();
  EXPECT_EQ(c.KAFKA_TOPIC, "words");
  EXPECT_EQ(c.AZURE_STORAGE_PREFIX, "states");
  EXPECT_EQ(c.KAFKA_SASL_PASSWORD, "");
  ::unsetenv("KAFKA_TOPIC");
  EXPECT_EQ(vesk::Config::from_env().KAFKA_TOPIC, "");
}

class PlainBackend : public vesk::VeskFileBackend {
 public:
  using VeskFileBackend::VeskFileBackend;
  vesk::Awaitable<std::optional<std::string>> get_file_contents_async(std::string path) override {
    co_return co_await VeskFileBackend::get_file_contents_async(path);
  }
  vesk::Awaitable<void> set_file_contents_async(std::string path, std::string content) override {
    co_await VeskFileBackend::set_file_contents_async(path, content);
  }
};

TEST(VeskFileBackend, PrefixGainsExactlyOneTrailingSlash) {
  EXPECT_EQ(PlainBackend().prefix, "");
  EXPECT_EQ(PlainBackend("").prefix, "");
  EXPECT_EQ(PlainBackend("states").prefix, "states/");
  EXPECT_EQ(PlainBackend("states/").prefix, "states/");
  EXPECT_EQ(PlainBackend("/").prefix, "/");
  EXPECT_EQ(PlainBackend("a//b").prefix, "a//b/");
  EXPECT_FALSE(std::is_abstract_v<PlainBackend>);
  EXPECT_TRUE(std::is_abstract_v<vesk::VeskFileBackend>);
}

class RecordingListener : public vesk::VeskRebalanceListener {
 public:
  void on_partitions_revoked(const std::vector<vesk::PartitionId>& p) override {
    VeskRebalanceListener::on_partitions_revoked(p);
    revoked = p;
  }
  void on_partitions_assigned(const std::vector<vesk::PartitionId>& p) override {
    VeskRebalanceListener::on_partitions_assigned(p);
    assigned = p;
  }
  std::vector<vesk::PartitionId> revoked, assigned;
};

class PlainFeed : public vesk::VeskFeed {
 public:
  using VeskFeed::VeskFeed;
  vesk::Awaitable<void> stop() override { co_await VeskFeed::stop(); }
  vesk::Awaitable<void> seek(const PartitionState& s) override { co_await VeskFeed::seek(s); }
  vesk::Awaitable<void> start() override {
    co_await VeskFeed::start();
    if (_listener) _listener->on_partitions_assigned({0, 2});
  }
  vesk::Awaitable<std::vector<vesk::Message>> get_many(vesk::PartitionId p) override {
    co_return co_await VeskFeed::get_many(p);
  }
};

TEST(VeskFeed, BaseOperationsDoNothingAndOnlyTheLastListenerHears) {
  EXPECT_TRUE(std::is_abstract_v<vesk::VeskFeed>);
  EXPECT_TRUE(std::is_abstract_v<vesk::VeskRebalanceListener>);
  auto logger = vesk::null_logger();
  PlainFeed feed(logger);
  EXPECT_EQ(feed.logger, logger);
  auto first = std::make_shared<RecordingListener>();
  auto second = std::make_shared<RecordingListener>();
  feed.set_listener(first);
  feed.set_listener(second);
  vesk::EventLoop loop;
  auto batch = loop.run_until_complete([](PlainFeed& feed) -> vesk::Awaitable<std::vector<vesk::Message>> {
    co_await feed.stop();
    co_await feed.start();
    co_await feed.seek(PartitionState{});
    co_return co_await feed.get_many(0);
  }(feed));
  EXPECT_TRUE(batch.empty());
  EXPECT_TRUE(first->assigned.empty());
  EXPECT_EQ(second->assigned, (std::vector<vesk::PartitionId>{0, 2}));
}

}  // namespace

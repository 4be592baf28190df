#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include "log_capture.hpp"
#include "python_support.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::Dict;
using vesk::EventLoop;
using vesk::PartitionState;
using vesk::Value;
using vesk::VeskStateStore;

namespace {

// Keeps files in memory; a write takes `write_delay`, so tests can change data meanwhile.
class MemoryBackend : public vesk::VeskFileBackend {
 public:
  explicit MemoryBackend(std::string prefix = "") : VeskFileBackend(std::move(prefix)) {}
  Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) override {
    if (fail_reads) throw std::runtime_error("storage is down");
    auto it = files.find(prefix + file_path);
    if (it == files.end()) co_return std::nullopt;
    co_return it->second;
  }
  Awaitable<void> set_file_contents_async(std::string file_path, std::string content) override {
    co_await vesk::sleep(write_delay);
    files[prefix + file_path] = std::move(content);
  }
  std::map<std::string, std::string> files;
  std::chrono::milliseconds write_delay{0};
  bool fail_reads = false;
};

PartitionState sample_state(int keys = 3) {
  PartitionState s;
  s.partition = 7;
  s.offset = 1234;
  for (int i = 0; i < keys; ++i) {
    // A per-key record arrives as the dict of its fields.
    s.state.set("key-" + std::to_string(i), Value(Dict{{"count", i}, {"name", "n" + std::to_string(i)}}));
  }
  return s;
}

struct StoreTest : ::testing::Test {
  vesk::testing::LogCapture logs;
  EventLoop loop;
  std::shared_ptr<MemoryBackend> backend = std::make_shared<MemoryBackend>("states");
  VeskStateStore store{backend, logs.logger()};

  template <class T>
  T run(Awaitable<T> body) {
    return loop.run_until_complete(std::move(body));
  }
};

TEST_F(StoreTest, FileNameIsThePartitionNumberInDecimal) {
  EXPECT_EQ(VeskStateStore::get_partition_state_file_name(0), "p-0.state.pkl");
  EXPECT_EQ(VeskStateStore::get_partition_state_file_name(12), "p-12.state.pkl");
  EXPECT_EQ(VeskStateStore::get_partition_state_file_name(-3), "p--3.state.pkl");
}

TEST_F(StoreTest, MissingFileReadsAsNoneAndLogsNothing) {
  EXPECT_FALSE(run(store.get_partition_state(4)).has_value());
  EXPECT_TRUE(logs.texts().empty());
}

TEST_F(StoreTest, EmptyFileIsAnErrorNotAMissingState) {
  backend->files["states/p-4.state.pkl"] = "";
  EXPECT_THROW(run(store.get_partition_state(4)), vesk::pickle::PickleError);
}

TEST_F(StoreTest, WrittenStateReadsBackEqualUnderThePrefix) {
  PartitionState s = sample_state();
  run(store.set_partition_state(7, s));
  ASSERT_EQ(backend->files.size(), 1u);
  ASSERT_TRUE(backend->files.count("states/p-7.state.pkl"));
  auto back = run(store.get_partition_state(7));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, s);
  // The file is the dict of the record's fields, in field order.
  Value raw = vesk::pickle::loads(backend->files["states/p-7.state.pkl"]);
  const auto& entries = raw.as_dict().entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].first, Value("partition"));
  EXPECT_EQ(entries[1].first, Value("offset"));
  EXPECT_EQ(entries[2].first, Value("state"));
}

TEST_F(StoreTest, BytesAreTheStateAtTheMomentOfTheCall) {
  backend->write_delay = 50ms;
  PartitionState s = sample_state();
  PartitionState original = s;
  run([&]() -> Awaitable<void> {
    // Not awaited yet: the caller goes on changing its state first.
    auto write = store.set_partition_state(7, s);
    s.offset = 99999;
    s.state.set("key-0", "changed");
    s.state.set("late", 1);
    co_await std::move(write);
  }());
  EXPECT_EQ(PartitionState::from_dict(vesk::pickle::loads(backend->files.at("states/p-7.state.pkl"))), original);

  // And while the write is in progress on another task.
  run([&]() -> Awaitable<void> {
    auto task = vesk::Task<void>::create(store.set_partition_state(8, s));
    co_await vesk::sleep(10ms);
    s.state.clear();
    co_await task.wait();
  }());
  EXPECT_EQ(
      vesk::pickle::loads(backend->files.at("states/p-8.state.pkl")).as_dict().find_text("state")->as_dict().size(),
      4u);
}

TEST_F(StoreTest, ErrorsReachTheCaller) {
  backend->fail_reads = true;
  EXPECT_THROW(run(store.get_partition_state(1)), std::runtime_error);
  backend->fail_reads = false;
  backend->files["states/p-1.state.pkl"] = vesk::pickle::dumps(Value::list({1, 2}));
  EXPECT_THROW(run(store.get_partition_state(1)), vesk::TypeError);
  backend->files["states/p-1.state.pkl"] = vesk::pickle::dumps(Value(Dict{{"partition", 1}, {"offset", 0}}));
  EXPECT_THROW(run(store.get_partition_state(1)), vesk::TypeError);
  backend->files["states/p-1.state.pkl"] = vesk::pickle::dumps(
      Value(Dict{{"partition", 1}, {"offset", 0}, {"state", Value(Dict())}, {"extra", 1}}));
  EXPECT_THROW(run(store.get_partition_state(1)), vesk::TypeError);
  // A state that cannot be encoded fails at the await, not at the call.
  PartitionState bad;
  bad.state.set("k", std::string("\xff", 1));
  auto write = store.set_partition_state(2, bad);
  EXPECT_THROW(run(std::move(write)), vesk::ValueError);
}

TEST_F(StoreTest, LargeStatesRoundTrip) {
  PartitionState s;
  s.partition = 3;
  s.offset = 5;
  for (int i = 0; i < 200000; ++i) s.state.append_unique("key-" + std::to_string(i), i);
  run(store.set_partition_state(3, s));
  ASSERT_GT(backend->files["states/p-3.state.pkl"].size(), 1u << 20);  // decoded off the loop
  EXPECT_EQ(*run(store.get_partition_state(3)), s);
}

TEST_F(StoreTest, PythonReadsOurFilesAndWeReadOlderProtocols) {
  if (!vesk::testing::have_python()) GTEST_SKIP() << "python3 is not available";
  vesk::testing::TempDir dir;
  auto local = std::make_shared<vesk::VeskLocalFileBackend>(dir.path, "states");
  VeskStateStore on_disk(local, logs.logger());
  run(on_disk.set_partition_state(7, sample_state()));
  auto [status, output] = vesk::testing::run_python(R"(
import pickle, sys
d = sys.argv[1]
got = pickle.load(open(d + '/states/p-7.state.pkl', 'rb'))
want = {'partition': 7, 'offset': 1234, 'state': {'key-%d' % i: {'count': i, 'name': 'n%d' % i} for i in range(3)}}
assert got == want and list(got) == ['partition', 'offset', 'state'], got
for p in (0, 2, 5):
    open(d + '/states/p-%d.state.pkl' % (100 + p), 'wb').write(pickle.dumps(want, protocol=p))
print('ok')
)",
                                                    {dir.path}, dir.path);
  ASSERT_EQ(status, 0) << output;
  for (int p : {0, 2, 5}) {
    auto back = run(on_disk.get_partition_state(100 + p));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, sample_state()) << "protocol " << p;
  }
}

}  // namespace

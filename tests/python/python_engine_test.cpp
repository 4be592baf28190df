// The engine on the embedded Kafka cluster with the Python word counter and the C++ KeyCounter:
// the same text gives the same state files, and each handler takes over the other's.
#include "vesk/vesk.hpp"

#include "log_capture.hpp"
#include "python_support.hpp"
#include "test_environment.hpp"
#include "vesk/embedded_kafka/embedded_kafka.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::PartitionId;
using vesk::PartitionState;

namespace {

constexpr int partitions = 2;
const std::string topic = "words";

struct Words {
  std::vector<std::string> words;
  std::map<std::string, std::int64_t> counts;
  int per_partition[partitions] = {};
};

// Lowercased runs of letters and digits; a word lives in the partition of its first letter.
Words words_of_text() {
  Words w;
  std::string word;
  for (char c : vesk::testing::read_file(VESK_TEST_TEXT) + " ") {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      w.words.push_back(word);
      ++w.counts[word];
      ++w.per_partition[static_cast<unsigned char>(word[0]) % partitions];
      word.clear();
    }
  }
  return w;
}

class PythonOnKafka : public ::testing::Test, public vesk::testing::BuildTreeWorkers {
 public:
  vesk::testing::TempDir python_dir, cpp_dir, scripts;
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;
  vesk::VeskEmbeddedKafka cluster;
  Words text = words_of_text();

  void SetUp() override {
    ::setenv("PYTHONPATH", VESK_TEST_PYTHONPATH, 1);
    cluster.create_topic(topic, partitions);
  }

  void produce_text() {
    for (const auto& w : text.words) cluster.produce(topic, static_cast<unsigned char>(w[0]) % partitions, w, w);
    cluster.flush();
  }

  // Runs `handler_path` over the topic with state in `dir` until every partition has stored
  // `rounds` times its share of the text.
  void run(const std::string& handler_path, const std::string& dir, int rounds) {
    static int group = 0;
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(dir);
    vesk::VeskStateStore store(backend, vesk::null_logger());
    loop.run_until_complete([&]() -> Awaitable<void> {
      auto feed = std::make_shared<vesk::VeskKafkaFeed>(cluster.bootstrap_servers(), "g" + std::to_string(++group),
                                                        topic, "", "", "", "", log.logger());
      vesk::Vesk engine(log.logger(), backend, 2, 200ms);
      engine.source(feed).process(std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler(handler_path)));
      engine.start();
      const auto deadline = std::chrono::steady_clock::now() + 90s;
      for (PartitionId p = 0; p < partitions; ++p) {
        while (true) {
          auto state = co_await store.get_partition_state(p);
          if (state && state->offset == rounds * text.per_partition[p]) break;
          if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << handler_path << ": partition " << p << " did not reach its offset";
            break;
          }
          co_await vesk::sleep(50ms);
        }
      }
      co_await engine.stop();
      co_await feed->stop();
    }());
  }

  PartitionState stored(const std::string& dir, PartitionId p) {
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(dir);
    vesk::VeskStateStore store(backend, vesk::null_logger());
    auto state = loop.run_until_complete(store.get_partition_state(p));
    if (!state) throw std::runtime_error("no state file for partition " + std::to_string(p) + " in " + dir);
    return *state;
  }

  void expect_counts(const std::string& dir, int rounds) {
    for (PartitionId p = 0; p < partitions; ++p) {
      const PartitionState state = stored(dir, p);
      for (const auto& [word, count] : state.state) {
        EXPECT_EQ(count, vesk::Value(rounds * text.counts.at(word.as_text()))) << dir << " " << word;
      }
    }
  }
};

TEST_F(PythonOnKafka, PythonAndCppCountersStoreTheSameFilesAndTakeOverEachOthers) {
  ASSERT_GT(text.words.size(), 100u);
  produce_text();
  run("py:vesk_examples.word_counter.WordCounter", python_dir.path, 1);
  run("examples.counting.KeyCounter", cpp_dir.path, 1);
  std::size_t keys = 0;
  for (PartitionId p = 0; p < partitions; ++p) {
    EXPECT_EQ(stored(python_dir.path, p), stored(cpp_dir.path, p));
    keys += stored(python_dir.path, p).state.size();
  }
  EXPECT_EQ(keys, text.counts.size());
  expect_counts(python_dir.path, 1);

  // Python's own pickle reads both as the same dicts.
  const std::string script = R"(
import pickle, sys
for p in range(2):
    with open(f"{sys.argv[1]}/p-{p}.state.pkl", "rb") as f: ours = pickle.load(f)
    with open(f"{sys.argv[2]}/p-{p}.state.pkl", "rb") as f: theirs = pickle.load(f)
    assert ours == theirs and type(ours["state"]) is dict, (ours, theirs)
    assert all(type(k) is str and type(v) is int for k, v in ours["state"].items())
print("same")
)";
  vesk::testing::write_file(scripts.path + "/compare.py", script);
  auto [status, out] = vesk::testing::run_command(std::string(VESK_TEST_PYTHON) + " " + scripts.path + "/compare.py " +
                                                  python_dir.path + " " + cpp_dir.path);
  EXPECT_EQ(out, "same\n") << status;

  // The same text again, each handler on the other's files.
  produce_text();
  run("examples.counting.KeyCounter", python_dir.path, 2);
  run("py:vesk_examples.word_counter.WordCounter", cpp_dir.path, 2);
  for (PartitionId p = 0; p < partitions; ++p) EXPECT_EQ(stored(python_dir.path, p), stored(cpp_dir.path, p));
  expect_counts(python_dir.path, 2);
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
}

}  // namespace

// The README's host application, run as a program against an embedded cluster: its stored
// states count every word of the text.
#include "python_support.hpp"
#include "vesk/embedded_kafka/embedded_kafka.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using vesk::testing::shell_quote;

TEST(HostExample, StoresTheStatsOfEveryWordItWasGiven) {
  vesk::testing::TempDir dir;
  vesk::VeskEmbeddedKafka kafka;
  kafka.create_topic("words", 2);
  std::ifstream text(VESK_EXAMPLE_TEXT);
  std::map<std::string, std::int64_t> counts;
  std::string word;
  for (char c; text.get(c);) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      kafka.produce("words", -1, word, word);
      ++counts[word];
      word.clear();
    }
  }
  kafka.flush();

  auto [status, out] = vesk::testing::run_command(
      "cd " + shell_quote(dir.path) +
      " && env -u AZURE_STORAGE_CONNECTION_STRING KAFKA_BOOTSTRAP_SERVERS=" + shell_quote(kafka.bootstrap_servers()) +
      " KAFKA_GROUP_ID=host-example KAFKA_TOPIC=words VESK_HANDLER_PATH=" + shell_quote(VESK_HANDLER_DIR) + " " +
      shell_quote(VESK_HOST_APP) + " 15");
  ASSERT_EQ(status, 0) << out;

  vesk::EventLoop loop(1);
  vesk::VeskStateStore store(std::make_shared<vesk::VeskLocalFileBackend>(dir.path + "/app-state"),
                             vesk::null_logger());
  std::map<std::string, std::int64_t> stored;
  for (vesk::PartitionId p : {0, 1}) {
    auto state = loop.run_until_complete(store.get_partition_state(p));
    ASSERT_TRUE(state) << "partition " << p << " has no stored state:\n" << out;
    for (const auto& [key, stats] : state->state) {
      stored[key.as_text()] = stats.as_dict().at(vesk::Value("messages")).as_int();
      EXPECT_EQ(stats.as_dict().at(vesk::Value("bytes")).as_int(),
                stored[key.as_text()] * static_cast<std::int64_t>(key.as_text().size()));
    }
  }
  EXPECT_EQ(stored, counts);
}

}  // namespace

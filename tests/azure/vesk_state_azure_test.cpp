// vesk-state against blob storage: list, and dump and write of one partition through the state
// store, with Azurite as the container.
#include "azurite.hpp"
#include "python_support.hpp"

#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

using testing::HasSubstr;
using vesk::testing::run_command;
using vesk::testing::shell_quote;

namespace {

class VeskStateOnBlobStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    azurite = std::make_unique<vesk::testing::Azurite>();
    loop.run_until_complete([](std::string cs) -> vesk::Awaitable<void> {
      auto service = vesk::blob::BlobServiceClient::from_connection_string(cs);
      vesk::blob::AsyncBlobServiceClient client(service);
      co_await client.get_container_client("states").create();
    }(azurite->connection_string()));
  }

  // Runs vesk-state with the blob-storage variables set (prefix "job/"), stdin from `input`.
  std::pair<int, std::string> tool(const std::string& args, const std::string& input = "",
                                   const std::string& prefix = "job") {
    std::string command = "AZURE_STORAGE_CONNECTION_STRING=" + shell_quote(azurite->connection_string()) +
                          " AZURE_STORAGE_CONTAINER_NAME=states AZURE_STORAGE_PREFIX=" + shell_quote(prefix) + " " +
                          shell_quote(VESK_STATE_PROGRAM) + " " + args;
    if (!input.empty()) {
      vesk::testing::write_file(dir.path + "/in.json", input);
      command += " < " + shell_quote(dir.path + "/in.json");
    }
    return run_command(command);
  }

  std::unique_ptr<vesk::testing::Azurite> azurite;
  vesk::EventLoop loop;
  vesk::testing::TempDir dir;
};

TEST_F(VeskStateOnBlobStorage, WriteListAndDumpPartitionsUnderThePrefix) {
  const std::string state3 = R"({"partition": 3, "offset": 42, "state": {"k": [1, "x"], "b": {"$bytes": "AP8="}}})";
  ASSERT_EQ(tool("write --partition 3", state3), std::make_pair(0, std::string()));
  ASSERT_EQ(tool("write --partition 12", R"({"partition": 12, "offset": 0, "state": {}})").first, 0);
  // Not state files, or not under the prefix: never listed.
  vesk::VeskAzureBlobBackend raw(vesk::AzureStorageConfig{azurite->connection_string(), "states", ""},
                                 vesk::null_logger());
  for (const char* name : {"job/notes.txt", "job/old/p-1.state.pkl", "other/p-5.state.pkl"}) {
    loop.run_until_complete(raw.set_file_contents_async(name, "x"));
  }

  EXPECT_EQ(tool("list"), std::make_pair(0, std::string("job/p-12.state.pkl\njob/p-3.state.pkl\n")));
  auto [status, json] = tool("dump --partition 3");
  EXPECT_EQ(status, 0) << json;
  EXPECT_EQ(json,
            "{\n  \"partition\": 3,\n  \"offset\": 42,\n  \"state\": {\n    \"k\": [\n      1,\n      \"x\"\n    ],\n"
            "    \"b\": {\n      \"$bytes\": \"AP8=\"\n    }\n  }\n}\n");
  // The blob is the store's pickle, written where the engine reads partition 3.
  auto blob = loop.run_until_complete(raw.get_file_contents_async("job/p-3.state.pkl"));
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->substr(0, 2), "\x80\x04");

  // An empty prefix lists the container's top-level state files.
  EXPECT_EQ(tool("list", "", ""), std::make_pair(0, std::string()));
}

TEST_F(VeskStateOnBlobStorage, FailuresAreOneLineErrorsWithAnExitStatus) {
  auto [missing, missing_out] = tool("dump --partition 7");
  EXPECT_EQ(missing, 1);
  EXPECT_EQ(missing_out, "vesk-state: dump partition 7: partition 7 has no stored state (no file job/p-7.state.pkl)\n");

  auto [other, other_out] = tool("write --partition 4", R"({"partition": 3, "offset": 1, "state": {}})");
  EXPECT_EQ(other, 1);
  EXPECT_THAT(other_out, HasSubstr("the JSON is the state of partition 3, not of partition 4"));
  EXPECT_EQ(tool("list").second, "");

  EXPECT_EQ(tool("dump --partition -1").first, 2);
  EXPECT_EQ(tool("dump --partition").first, 2);

  auto [unset, unset_out] = run_command("env -u AZURE_STORAGE_CONNECTION_STRING -u AZURE_STORAGE_CONTAINER_NAME " +
                                        shell_quote(VESK_STATE_PROGRAM) + " list");
  EXPECT_EQ(unset, 1);
  EXPECT_THAT(unset_out, HasSubstr("set AZURE_STORAGE_CONNECTION_STRING and AZURE_STORAGE_CONTAINER_NAME"));

  azurite->stop();
  auto [down, down_out] = tool("list");
  EXPECT_EQ(down, 1);
  EXPECT_THAT(down_out, HasSubstr("vesk-state: list: "));
}

}  // namespace

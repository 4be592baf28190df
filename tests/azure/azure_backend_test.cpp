#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"

#include "azurite.hpp"
#include "error_of.hpp"
#include "log_capture.hpp"
#include "vesk/http/http_client.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using namespace vesk;
using namespace vesk::blob;
using namespace vesk::testing;

namespace {

class AzureBackend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { azurite = std::make_unique<vesk::testing::Azurite>(); }
  static void TearDownTestSuite() { azurite.reset(); }

  void SetUp() override {
    container = "container-" + std::to_string(++counter);
    create_container(container);
  }

  void create_container(const std::string& name) {
    loop.run_until_complete([](std::string cs, std::string name) -> Awaitable<void> {
      auto service = vesk::blob::BlobServiceClient::from_connection_string(cs);
      AsyncBlobServiceClient client(service);
      co_await client.get_container_client(name).create();
    }(azurite->connection_string(), name));
  }

  std::unique_ptr<VeskAzureBlobBackend> backend(std::string prefix, std::string container_name = "") {
    return std::make_unique<VeskAzureBlobBackend>(
        AzureStorageConfig{azurite->connection_string(), container_name.empty() ? container : container_name,
                           std::move(prefix)},
        log.logger());
  }

  template <class T>
  T run(Awaitable<T> body) {
    return loop.run_until_complete(std::move(body));
  }

  void put(VeskAzureBlobBackend& b, std::string path, std::string content) {
    run(b.set_file_contents_async(std::move(path), std::move(content)));
  }
  std::optional<std::string> get(VeskAzureBlobBackend& b, std::string path) {
    return run(b.get_file_contents_async(std::move(path)));
  }
  std::vector<std::string> list(VeskAzureBlobBackend& b, std::string directory) {
    auto names = run(b.list_files_async(std::move(directory)));
    std::sort(names.begin(), names.end());
    return names;
  }

  static inline std::unique_ptr<vesk::testing::Azurite> azurite;
  static inline int counter = 0;
  EventLoop loop;
  vesk::testing::LogCapture log;
  std::string container;
};

TEST_F(AzureBackend, PrefixIsPrependedToTheFilePathWithOrWithoutItsSlash) {
  auto states = backend("states");
  auto states_slash = backend("states/");
  auto plain = backend("");
  EXPECT_EQ(states->prefix, "states/");

  put(*states, "p-3.state.pkl", "three");
  EXPECT_EQ(get(*states_slash, "p-3.state.pkl"), "three");
  EXPECT_EQ(get(*plain, "states/p-3.state.pkl"), "three");
  put(*plain, "p-1.state.pkl", "one");
  EXPECT_EQ(list(*plain, ""), (std::vector<std::string>{"p-1.state.pkl", "states/p-3.state.pkl"}));
  EXPECT_TRUE(log.texts().empty());
}

TEST_F(AzureBackend, MissingBlobReadsAsNoneAndLogsItsFullName) {
  auto states = backend("states");
  EXPECT_EQ(get(*states, "p-9.state.pkl"), std::nullopt);
  EXPECT_THAT(log.texts(spdlog::level::err), ElementsAre("File not found: states/p-9.state.pkl"));
}

TEST_F(AzureBackend, ListingReturnsFullNamesUnderTheDirectoryAcrossPages) {
  auto writer = backend("");
  for (int p = 0; p < 5; ++p) put(*writer, "states/p-" + std::to_string(p) + ".state.pkl", "x");
  put(*writer, "states-old/p-0.state.pkl", "x");
  put(*writer, "other/p-0.state.pkl", "x");

  // A backend with another prefix lists the same names: the prefix is not applied to listings.
  auto reader = backend("other");
  reader->set_list_page_size(2);
  const std::vector<std::string> under_states{"states/p-0.state.pkl", "states/p-1.state.pkl", "states/p-2.state.pkl",
                                              "states/p-3.state.pkl", "states/p-4.state.pkl"};
  EXPECT_EQ(list(*reader, "states"), under_states);
  EXPECT_EQ(list(*reader, "states/"), under_states);
  EXPECT_EQ(list(*reader, "").size(), 7u);
  EXPECT_EQ(list(*reader, "nothing"), std::vector<std::string>{});
  EXPECT_TRUE(log.texts().empty());
}

TEST_F(AzureBackend, WritingReplacesTheWholeBlobAndKeepsBytesExact) {
  auto b = backend("states");
  put(*b, "p-0.state.pkl", std::string(100000, 'a'));
  const std::string binary("\x80\x04\x00\xff\r\n\x00", 7);
  put(*b, "p-0.state.pkl", binary);
  EXPECT_EQ(get(*b, "p-0.state.pkl"), binary);
  put(*b, "p-0.state.pkl", "");
  EXPECT_EQ(get(*b, "p-0.state.pkl"), "");

  std::string large(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 % 251);
  put(*b, "big.bin", large);
  EXPECT_EQ(get(*b, "big.bin"), large);
}

TEST_F(AzureBackend, ConditionalWritesLandOnlyOverTheETagExpected) {
  auto b = backend("states");
  EXPECT_FALSE(run(b->get_versioned_file_contents_async("p-0.state.pkl")).contents);
  auto first = run(b->set_file_contents_if_async("p-0.state.pkl", "one", std::nullopt));
  ASSERT_TRUE(first.stored);
  EXPECT_FALSE(run(b->set_file_contents_if_async("p-0.state.pkl", "again", std::nullopt)).stored);
  auto second = run(b->set_file_contents_if_async("p-0.state.pkl", "two", first.tag));
  ASSERT_TRUE(second.stored);
  EXPECT_NE(second.tag, first.tag);
  EXPECT_FALSE(run(b->set_file_contents_if_async("p-0.state.pkl", "stale", first.tag)).stored);
  auto read = run(b->get_versioned_file_contents_async("p-0.state.pkl"));
  EXPECT_EQ(read.contents, "two");
  EXPECT_EQ(read.tag, second.tag);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"File not found: states/p-0.state.pkl"});
}

TEST_F(AzureBackend, NamesWithCharactersThatNeedEncodingRoundTrip) {
  auto b = backend("dir with space/é");
  const std::vector<std::string> paths{"a b+c.pkl", "100%.pkl", "q?x#y&z=1.pkl", "ü/ñ ~'!.pkl"};
  for (const auto& path : paths) put(*b, path, "content of " + path);
  for (const auto& path : paths) EXPECT_EQ(get(*b, path), "content of " + path) << path;
  auto names = list(*b, "dir with space/é");
  EXPECT_EQ(names.size(), paths.size());
  for (const auto& path : paths) {
    EXPECT_NE(std::find(names.begin(), names.end(), "dir with space/é/" + path), names.end()) << path;
  }
  EXPECT_TRUE(log.texts().empty());
}

TEST_F(AzureBackend, MissingContainerIsAnErrorForEveryOperationNotNoFile) {
  auto b = backend("states", "missing");
  const std::string write_error = error_of([&] { put(*b, "p-1.state.pkl", "x"); });
  const std::string read_error = error_of([&] { get(*b, "p-1.state.pkl"); });
  const std::string list_error = error_of([&] { list(*b, "states"); });
  EXPECT_THAT(write_error, StartsWith("HTTP 404 ContainerNotFound: "));
  EXPECT_THAT(log.texts(spdlog::level::err), ElementsAre("Error writing to file 'states/p-1.state.pkl': " + write_error,
                                                         "Error reading file 'states/p-1.state.pkl': " + read_error,
                                                         "Error listing files in directory 'states/': " + list_error));

  try {
    put(*b, "p-1.state.pkl", "x");
    FAIL() << "no error";
  } catch (const BlobError& e) {
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.code, "ContainerNotFound");
  }
}

TEST_F(AzureBackend, WrongAccountKeyFailsWithAnAuthorizationError) {
  VeskAzureBlobBackend b(AzureStorageConfig{azurite->connection_string_with_wrong_key(), container, ""}, log.logger());
  try {
    get(b, "p-1.state.pkl");
    FAIL() << "no error";
  } catch (const BlobError& e) {
    EXPECT_EQ(e.status, 403);
    EXPECT_EQ(e.code, "AuthorizationFailure");
  }
  EXPECT_THROW(put(b, "p-1.state.pkl", "x"), BlobError);
  EXPECT_EQ(log.count_starting_with("File not found"), 0u);
  EXPECT_EQ(log.count_starting_with("Error reading file 'p-1.state.pkl': HTTP 403"), 1u);
  EXPECT_EQ(log.count_starting_with("Error writing to file 'p-1.state.pkl': HTTP 403"), 1u);
}

// An account SAS valid for blobs, signed here with the emulator's key.
std::string account_sas() {
  const std::string version = "2021-08-06", permissions = "rwdlac", expiry = "2099-01-01T00:00:00Z";
  const std::string to_sign = "devstoreaccount1\n" + permissions + "\nb\nsco\n\n" + expiry + "\n\n\n" + version +
                              "\n\n";
  const auto key = vesk::blob::parse_connection_string("UseDevelopmentStorage=true").account_key;
  return "sv=" + version + "&ss=b&srt=sco&sp=" + permissions + "&se=" + vesk::blob::percent_encode(expiry, false) +
         "&sig=" + vesk::blob::percent_encode(vesk::blob::shared_key_signature(key, to_sign), false);
}

TEST_F(AzureBackend, SharedAccessSignatureReachesTheServiceWithoutAKey) {
  const std::string cs = "BlobEndpoint=" + azurite->blob_endpoint() + ";SharedAccessSignature=?" + account_sas();
  VeskAzureBlobBackend b(AzureStorageConfig{cs, container, "states"}, log.logger());
  b.set_list_page_size(1);
  put(b, "p-0.state.pkl", "zero");
  put(b, "p-1.state.pkl", "one");
  EXPECT_EQ(get(b, "p-1.state.pkl"), "one");
  EXPECT_EQ(list(b, "states"), (std::vector<std::string>{"states/p-0.state.pkl", "states/p-1.state.pkl"}));
  EXPECT_EQ(get(b, "p-2.state.pkl"), std::nullopt);
  EXPECT_THAT(log.texts(), ElementsAre("File not found: states/p-2.state.pkl"));
}

TEST_F(AzureBackend, EveryOperationClosesItsClientOnSuccessFailureAndCancellation) {
  auto b = backend("");
  put(*b, "p.pkl", "x");
  get(*b, "absent.pkl");
  EXPECT_THROW(get(*backend("", "missing"), "p.pkl"), BlobError);
  EXPECT_EQ(AsyncBlobServiceClient::open_clients(), 0);

  // A frozen service makes the request hang; cancelling the task must end it at once, unlogged.
  log.clear();
  azurite->pause();
  auto outcome = run([](VeskAzureBlobBackend& b) -> Awaitable<std::string> {
    auto task = vesk::Task<std::optional<std::string>>::create(b.get_file_contents_async("p.pkl"));
    co_await vesk::sleep(300ms);
    const int open_while_waiting = AsyncBlobServiceClient::open_clients();
    task.cancel();
    const auto started = std::chrono::steady_clock::now();
    try {
      co_await task.wait();
    } catch (const vesk::CancelledError&) {
    }
    const bool prompt = std::chrono::steady_clock::now() - started < 2s;
    co_return std::to_string(open_while_waiting) + (task.cancelled() ? " cancelled" : " not cancelled") +
        (prompt ? " promptly" : " slowly");
  }(*b));
  azurite->resume();
  EXPECT_EQ(outcome, "1 cancelled promptly");
  EXPECT_EQ(AsyncBlobServiceClient::open_clients(), 0);
  EXPECT_TRUE(log.texts().empty());
}

TEST_F(AzureBackend, StoppedServiceFailsOperationsAndARestartOnTheSamePortServesAgain) {
  auto b = backend("states");
  vesk::blob::RequestPolicy quick_retries;
  quick_retries.first_retry_delay = 10ms;
  b->set_request_policy(quick_retries);
  put(*b, "p-0.state.pkl", "before");
  const int port = azurite->port();
  azurite->stop();

  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(put(*b, "p-0.state.pkl", "during"), vesk::http::HttpError);
  EXPECT_THROW(get(*b, "p-0.state.pkl"), vesk::http::HttpError);
  EXPECT_THROW(run(b->list_files_async("")), vesk::http::HttpError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(log.count_starting_with("Error writing to file 'states/p-0.state.pkl': "), 1u);
  EXPECT_EQ(log.count_starting_with("Error reading file 'states/p-0.state.pkl': "), 1u);
  EXPECT_EQ(log.count_starting_with("Error listing files in directory '': "), 1u);

  azurite->restart();
  ASSERT_EQ(azurite->port(), port);
  create_container(container);  // the emulator keeps nothing across a restart
  put(*b, "p-0.state.pkl", "after");
  EXPECT_EQ(get(*b, "p-0.state.pkl"), "after");
}

TEST_F(AzureBackend, StateStoreKeepsEachPartitionAsOnePickleBlobUnderThePrefix) {
  auto b = std::shared_ptr<VeskAzureBlobBackend>(backend("states"));
  vesk::VeskStateStore store(b, log.logger());
  EXPECT_EQ(run(store.get_partition_state(7)), std::nullopt);
  EXPECT_THAT(log.texts(), ElementsAre("File not found: states/p-7.state.pkl"));

  vesk::PartitionState state;
  state.partition = 7;
  state.offset = 1234;
  state.state.set("alpha", vesk::Value(3));
  vesk::List items{vesk::Value("x"), vesk::Value(2.5)};
  state.state.set("beta", vesk::Value(std::move(items)));
  run(store.set_partition_state(7, state));
  EXPECT_EQ(run(store.get_partition_state(7)), state);
  EXPECT_EQ(list(*b, "states"), std::vector<std::string>{"states/p-7.state.pkl"});

  // The blob is an ordinary pickle that Python reads as the dict of the record's fields.
  const auto blob = get(*b, "p-7.state.pkl");
  ASSERT_TRUE(blob);
  const std::string file = ::testing::TempDir() + "azure-p-7.state.pkl";
  std::ofstream(file, std::ios::binary) << *blob;
  const std::string command = "python3 -c \"import pickle,sys; print(pickle.load(open(sys.argv[1],'rb')))\" " + file;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  ::pclose(pipe);
  std::remove(file.c_str());
  ASSERT_TRUE(read);
  EXPECT_EQ(std::string(line), "{'partition': 7, 'offset': 1234, 'state': {'alpha': 3, 'beta': ['x', 2.5]}}\n");
}

}  // namespace

// Blob storage that has a bad minute: a blob service of the test's own (over the test HTTP
// server) answers with injected failures, which the backend retries, and the engine rides out.
#include "vesk/vesk.hpp"

#include "error_of.hpp"
#include "eventually.hpp"
#include "log_capture.hpp"
#include "stored_offsets.hpp"
#include "test_environment.hpp"
#include "test_http_server.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using vesk::Awaitable;
using vesk::testing::Reply;

using vesk::testing::error_of;

namespace {

// Blobs in a map, served at /devstoreaccount1/<container>/<blob> without checking signatures. The
// next `fail_next` requests are answered with `fail_status` (and `retry_after` when set).
class FakeBlobService {
 public:
  std::string connection_string() const {
    return "DefaultEndpointsProtocol=http;AccountName=devstoreaccount1;AccountKey=a2V5;BlobEndpoint=" +
           server.url("/devstoreaccount1");
  }
  void fail(int requests, int status, std::string retry_after = "") {
    std::lock_guard lock(_mutex);
    _fail_next = requests;
    _fail_status = status;
    _retry_after = std::move(retry_after);
  }
  void put(const std::string& blob, std::string content) {
    std::lock_guard lock(_mutex);
    _blobs["/devstoreaccount1/c/" + blob] = std::move(content);
  }
  std::size_t requests() const { return server.requests().size(); }

  vesk::testing::TestHttpServer server{[this](const vesk::testing::ReceivedRequest& r) { return answer(r); }};

 private:
  Reply answer(const vesk::testing::ReceivedRequest& request) {
    std::lock_guard lock(_mutex);
    if (_fail_next > 0) {
      --_fail_next;
      Reply reply{_fail_status, {{"x-ms-error-code", "Injected"}}, ""};
      if (!_retry_after.empty()) reply.headers.emplace_back("Retry-After", _retry_after);
      return reply;
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (request.method == "PUT") {
      _blobs[path] = request.body;
      return Reply{201, {}, ""};
    }
    auto it = _blobs.find(path);
    if (it == _blobs.end()) return Reply{404, {{"x-ms-error-code", "BlobNotFound"}}, ""};
    return Reply{200, {}, it->second};
  }

  mutable std::mutex _mutex;
  std::map<std::string, std::string> _blobs;
  int _fail_next = 0;
  int _fail_status = 503;
  std::string _retry_after;
};

class BlobRetries : public ::testing::Test {
 public:
  FakeBlobService service;
  vesk::EventLoop loop;
  vesk::testing::LogCapture log;

  // A backend whose retries pause 10 ms unless the service asks for longer.
  std::shared_ptr<vesk::VeskAzureBlobBackend> backend(std::string connection_string, int tries = 4) {
    auto b = std::make_shared<vesk::VeskAzureBlobBackend>(
        vesk::AzureStorageConfig{std::move(connection_string), "c", "states"}, log.logger());
    vesk::blob::RequestPolicy policy;
    policy.max_tries = tries;
    policy.first_retry_delay = 10ms;
    b->set_request_policy(policy);
    return b;
  }
  std::size_t retries() const { return log.count_starting_with("Retrying blob request "); }
};

TEST_F(BlobRetries, TransientFailuresAreRetriedHonouringRetryAfterAndOthersAreNot) {
  auto b = backend(service.connection_string());
  service.put("states/p-0.state.pkl", "state");
  service.fail(2, 503, "1");
  EXPECT_EQ(loop.run_until_complete(b->get_file_contents_async("p-0.state.pkl")), "state");
  EXPECT_EQ(service.requests(), 3u);
  EXPECT_THAT(log.texts(spdlog::level::warn),
              ::testing::ElementsAre(
                  HasSubstr("GET http://127.0.0.1:" + std::to_string(service.server.port()) +
                            "/devstoreaccount1/c/states/p-0.state.pkl in 1.000 s (try 2 of 4) after HTTP 503"),
                  HasSubstr("in 1.000 s (try 3 of 4) after HTTP 503")));

  log.clear();
  service.fail(1, 403);
  EXPECT_THAT(error_of([&] { loop.run_until_complete(b->set_file_contents_async("p-0.state.pkl", "x")); }),
              HasSubstr("HTTP 403 Injected"));
  EXPECT_EQ(retries(), 0u);
  service.fail(10, 500);
  EXPECT_THAT(error_of([&] { loop.run_until_complete(b->get_file_contents_async("p-0.state.pkl")); }),
              HasSubstr("HTTP 500 Injected"));
  EXPECT_EQ(retries(), 3u);
  EXPECT_EQ(service.requests(), 3u + 1u + 4u);

  log.clear();
  auto unreachable = backend(
      "DefaultEndpointsProtocol=http;AccountName=a;AccountKey=a2V5;BlobEndpoint=http://127.0.0.1:" +
          std::to_string(vesk::testing::unused_port()) + "/a",
      2);
  EXPECT_THROW(loop.run_until_complete(unreachable->get_file_contents_async("p-0.state.pkl")), vesk::http::HttpError);
  EXPECT_EQ(retries(), 1u);
}

TEST_F(BlobRetries, TheLargestStateIsALimitThatNamesItself) {
  auto b = backend(service.connection_string());
  vesk::blob::RequestPolicy policy = b->request_policy();
  EXPECT_EQ(policy.max_blob_bytes, std::size_t{2} << 30);
  policy.max_blob_bytes = 1000;
  b->set_request_policy(policy);
  service.put("states/big", std::string(1001, 'b'));
  const std::string named = "the largest state this backend accepts, 1000 bytes (RequestPolicy::max_blob_bytes)";
  EXPECT_THAT(error_of([&] { loop.run_until_complete(b->get_file_contents_async("big")); }),
              HasSubstr("blob 'states/big' is larger than " + named));
  EXPECT_THAT(error_of([&] { loop.run_until_complete(b->set_file_contents_async("big", std::string(1001, 'x'))); }),
              HasSubstr("blob 'states/big' would hold 1001 bytes, more than " + named));
  EXPECT_EQ(service.requests(), 1u);  // the write was refused before it was sent
  EXPECT_EQ(log.count_starting_with("Error reading file 'states/big': blob 'states/big' is larger than"), 1u);
  EXPECT_EQ(retries(), 0u);
}

TEST_F(BlobRetries, TheEngineRidesOutABadMinuteOfItsBlobService) {
  vesk::testing::BuildTreeWorkers workers;
  // The engine's backend keeps the default policy.
  auto engine_backend = std::make_shared<vesk::VeskAzureBlobBackend>(
      vesk::AzureStorageConfig{service.connection_string(), "c", "states"}, log.logger());
  vesk::VeskStateStore probe(backend(service.connection_string(), 1), vesk::null_logger());
  // Runs an engine over `messages` messages until all are stored; with `fault`, the restore (the
  // engine's first request) meets three failures in a row.
  const auto run_engine = [&](int messages, bool fault) -> Awaitable<void> {
    auto feed = std::make_shared<vesk::VeskMemoryFeed>(log.logger(), 1, 200ms);
    for (int i = 0; i < messages; ++i) feed->produce(0, "key-" + std::to_string(i % 10), "v");
    vesk::Vesk engine(log.logger(), engine_backend, 2, 200ms);
    engine.source(feed).process(
        std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter")));
    if (fault) service.fail(3, 503, "1");
    engine.start();
    if (fault) {
      const std::string found = "State found for partition 0, starting from offset 200";
      EXPECT_TRUE(co_await vesk::testing::eventually([&] { return log.contains(found); }, 60s));
    }
    EXPECT_TRUE(co_await vesk::testing::stored_offsets_reach(probe, 1, messages, 60s));
    co_await engine.stop();
    co_await feed->stop();
  };
  loop.run_until_complete(run_engine(200, false));
  log.clear();
  loop.run_until_complete(run_engine(400, true));
  EXPECT_EQ(retries(), 3u);
  EXPECT_EQ(log.count_starting_with("Error"), 0u);
  auto state = loop.run_until_complete(probe.get_partition_state(0));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state.size(), 10u);
  for (const auto& [key, count] : state->state) EXPECT_EQ(count, vesk::Value(40)) << key.as_text();
}

}  // namespace

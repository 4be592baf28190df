#include "vesk/http/detail/curl_multi.hpp"

#include "eventually.hpp"
#include "test_http_server.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::EventLoop;
using vesk::Task;
using vesk::http::detail::CurlMulti;
using vesk::http::detail::EasyHandle;
using vesk::testing::Reply;
using vesk::testing::TestHttpServer;

namespace {

// A bare easy handle that fetches `url` and drops the body.
EasyHandle fetch(const std::string& url) {
  vesk::http::detail::ensure_global_init();
  EasyHandle easy(curl_easy_init());
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  auto drop = +[](char*, size_t size, size_t count, void*) -> size_t { return size * count; };
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, drop);
  return easy;
}

Awaitable<CURLcode> perform(CURL* easy) {
  co_return co_await CurlMulti::of(co_await asio::this_coro::executor).perform(easy);
}

TEST(CurlReactor, ServesSeveralTransfersAtOnceWithoutBlockingTheLoop) {
  TestHttpServer server([](const auto&) { return Reply{200, {}, "slow", 2s}; });
  EventLoop loop;
  loop.run_until_complete([](TestHttpServer& server) -> Awaitable<void> {
    std::vector<EasyHandle> handles;
    std::vector<Task<CURLcode>> transfers;
    for (int i = 0; i < 3; ++i) {
      handles.push_back(fetch(server.url("/" + std::to_string(i))));
      transfers.push_back(Task<CURLcode>::create(perform(handles.back().get())));
    }
    // All three reach the server before the first answer comes: none waits for another.
    EXPECT_TRUE(co_await vesk::testing::eventually([&] { return server.requests().size() == 3; }));
    for (auto& transfer : transfers) EXPECT_FALSE(transfer.done());
    for (auto& transfer : transfers) EXPECT_EQ(co_await transfer.wait(), CURLE_OK);
  }(server));
}

TEST(CurlReactor, CancelledWaitTakesTheHandleOutAndClosesItsConnection) {
  TestHttpServer server([](const auto& request) { return Reply{200, {}, "x", request.target == "/slow" ? 10s : 0ms}; });
  EventLoop loop;
  loop.run_until_complete([](TestHttpServer& server) -> Awaitable<void> {
    auto easy = fetch(server.url("/slow"));
    auto transfer = Task<CURLcode>::create(perform(easy.get()));
    EXPECT_TRUE(co_await vesk::testing::eventually([&] { return !server.requests().empty(); }));
    transfer.cancel();
    EXPECT_THROW(co_await transfer.wait(), vesk::CancelledError);
    EXPECT_TRUE(server.wait_abandoned(1, 5s));
    // Out of the multi handle: the same handle can be driven again.
    curl_easy_setopt(easy.get(), CURLOPT_URL, server.url("/fast").c_str());
    EXPECT_EQ(co_await perform(easy.get()), CURLE_OK);
  }(server));
}

}  // namespace

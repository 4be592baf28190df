#include "vesk/http/http_client.hpp"

#include "vesk/http/detail/curl_handles.hpp"
#include "vesk/http/detail/curl_multi.hpp"
#include "vesk/http/detail/transfer.hpp"
#include "vesk/loop/errors.hpp"

#include <asio/this_coro.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

namespace vesk::http {

using namespace detail;

namespace {

Awaitable<Response> perform_shared(Request request, std::shared_ptr<Session::Shared> shared) {
  if (request.timeout <= std::chrono::milliseconds::zero()) {
    throw ValueError("the time limit of a request must be positive, got " + std::to_string(request.timeout.count()) +
                     " ms");
  }
  if (request.connect_timeout < std::chrono::milliseconds::zero() || request.low_speed_time.count() < 0 ||
      request.low_speed_bytes_per_second < 0) {
    throw ValueError("the connect and low-speed limits of a request must not be negative");
  }
  auto executor = co_await asio::this_coro::executor;
  asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
  if (cancellation.cancelled() != asio::cancellation_type::none) throw CancelledError();

  CurlMulti& multi = CurlMulti::of(executor);

  Transfer transfer;
  transfer.shared = std::move(shared);
  transfer.easy.reset(curl_easy_init());
  if (!transfer.easy) throw HttpError("curl_easy_init failed");
  transfer.body = std::move(request.body);
  transfer.shared_body = std::move(request.shared_body);
  configure(transfer, request, multi);
  // A cancelled wait takes the transfer out of the multi handle, which aborts it.
  transfer.result = co_await multi.perform(transfer.easy.get());
  if (transfer.result != CURLE_OK) fail(transfer, request);
  long status = 0;
  check(curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status), "CURLINFO_RESPONSE_CODE");
  transfer.response.status = status;
  co_return std::move(transfer.response);
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (same_name(key, name)) return value;
  }
  return std::nullopt;
}

Awaitable<Response> perform(Request request) { return perform_shared(std::move(request), nullptr); }

std::string printable_url(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme = url.find("://");
  const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t authority_end = std::min(url.find('/', start), url.size());
  const std::size_t at = url.substr(0, authority_end).rfind('@');
  if (at == std::string_view::npos || at < start) return std::string(url);
  return std::string(url.substr(0, start)) + "***" + std::string(url.substr(at));
}

bool is_loopback_url(const std::string& url) {
  ensure_global_init();
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  char* text = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_HOST, &text, 0) != CURLUE_OK || text == nullptr) return false;
  std::string host(text);
  curl_free(text);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host == "localhost" || (host.size() > 10 && host.ends_with(".localhost"))) return true;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string resolve_url(const std::string& base, const std::string& reference) {
  ensure_global_init();
  UrlHandle url(curl_url());
  if (!url) throw HttpError("curl_url failed: out of memory");
  if (CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0); code != CURLUE_OK) {
    throw HttpError("bad base URL '" + printable_url(base) + "': " + curl_url_strerror(code));
  }
  if (CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0); code != CURLUE_OK) {
    throw HttpError("cannot resolve '" + printable_url(reference) + "' against '" + printable_url(base) +
                    "': " + curl_url_strerror(code));
  }
  char* text = nullptr;
  if (CURLUcode code = curl_url_get(url.get(), CURLUPART_URL, &text, 0); code != CURLUE_OK) {
    throw HttpError("cannot resolve '" + printable_url(reference) + "' against '" + printable_url(base) +
                    "': " + curl_url_strerror(code));
  }
  std::string resolved(text);
  curl_free(text);
  return resolved;
}

Session::Session(Headers default_headers, std::chrono::milliseconds timeout)
    : Session(std::move(default_headers), Limits{timeout}) {}

Session::Session(Headers default_headers, Limits limits)
    : _default_headers(std::move(default_headers)), _limits(limits), _shared(std::make_shared<Shared>()) {
  ensure_global_init();
  _shared->share.reset(curl_share_init());
  if (!_shared->share) throw HttpError("curl_share_init failed");
  check(curl_share_setopt(_shared->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT), "CURLSHOPT_SHARE");
}

Session::~Session() = default;

namespace {

// The session's limits, its default headers unless `headers` names them too, then `headers`.
Request session_request(const Headers& default_headers, const Limits& limits, std::string method, std::string url,
                        Headers headers) {
  Request request;
  request.method = std::move(method);
  request.url = std::move(url);
  static_cast<Limits&>(request) = limits;
  for (const auto& header : default_headers) {
    if (!has_header(headers, header.first)) request.headers.push_back(header);
  }
  for (auto& header : headers) request.headers.push_back(std::move(header));
  return request;
}

}  // namespace

Awaitable<Response> Session::request(std::string method, std::string url, Headers headers, std::string body) {
  // The checks happen when the request is awaited, like its failures.
  if (_closed) throw HttpError("the HTTP session is closed");
  Request request = session_request(_default_headers, _limits, std::move(method), std::move(url), std::move(headers));
  request.body = std::move(body);
  co_return co_await perform_shared(std::move(request), _shared);
}

Awaitable<Response> Session::request(std::string method, std::string url, Headers headers,
                                     std::shared_ptr<const std::string> body) {
  if (_closed) throw HttpError("the HTTP session is closed");
  Request request = session_request(_default_headers, _limits, std::move(method), std::move(url), std::move(headers));
  request.shared_body = std::move(body);
  co_return co_await perform_shared(std::move(request), _shared);
}

Awaitable<Response> Session::get(std::string url, Headers headers) {
  co_return co_await request("GET", std::move(url), std::move(headers));
}

void Session::close() noexcept {
  // Requests in flight keep the connection cache; it closes its connections when they end.
  _closed = true;
  _shared.reset();
}

}  // namespace vesk::http

#include "vesk/vesk_azure_blob_backend/blob_client.hpp"

#include "vesk/loop/errors.hpp"
#include "vesk/loop/task.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <utility>

namespace vesk::blob {
namespace {

std::string describe(long status, const std::string& code, const std::string& message) {
  std::string text = "HTTP " + std::to_string(status);
  if (!code.empty()) text += " " + code;
  if (!message.empty()) {
    // The service's messages carry RequestId and Time on lines of their own; keep one line.
    std::string flat;
    for (char c : message) {
      if (c == '\r') continue;
      flat.push_back(c == '\n' ? ' ' : c);
    }
    text += ": " + flat;
  }
  return text;
}

void expect_status(const http::Response& response, long expected) {
  if (response.status != expected) throw_error_from_response(response);
}

bool is_transient_status(long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// What a Retry-After header asks for: delay-seconds or an HTTP date. None when absent or unreadable.
std::optional<std::chrono::milliseconds> retry_after(const std::optional<std::string>& header) {
  if (!header || header->empty()) return std::nullopt;
  if (std::all_of(header->begin(), header->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (header->size() > 9) return std::chrono::hours(24 * 365);  // absurdly far: capped by the caller
    return std::chrono::seconds(std::stol(*header));
  }
  std::tm tm{};
  const char* end = ::strptime(header->c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (end == nullptr || *end != '\0') return std::nullopt;
  const auto at = std::chrono::system_clock::from_time_t(::timegm(&tm));
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - std::chrono::system_clock::now());
  return std::max(left, std::chrono::milliseconds::zero());
}

// The pause before try `attempt` + 1: exponential, varied by up to a quarter either way, at least
// what the service asked for, and never above the policy's maximum.
std::chrono::milliseconds retry_delay(const RequestPolicy& policy, int attempt,
                                      const std::optional<std::string>& header) {
  thread_local std::minstd_rand random{std::random_device{}()};
  double base = static_cast<double>(policy.first_retry_delay.count());
  for (int i = 1; i < attempt && base < static_cast<double>(policy.max_retry_delay.count()); ++i) base *= 2;
  base *= std::uniform_real_distribution<double>(0.75, 1.25)(random);
  auto delay = std::chrono::milliseconds(static_cast<std::int64_t>(base));
  if (auto asked = retry_after(header)) delay = std::max(delay, *asked);
  return std::min(delay, policy.max_retry_delay);
}

}  // namespace

BlobError::BlobError(long status_, std::string code_, std::string message_)
    : std::runtime_error(describe(status_, code_, message_)),
      status(status_),
      code(std::move(code_)),
      message(std::move(message_)) {}

void throw_error_from_response(const http::Response& response) {
  auto [body_code, message] = parse_error_body(response.body);
  std::string code = response.header("x-ms-error-code").value_or(body_code);
  if (response.status == 404 && code == "BlobNotFound") {
    throw BlobNotFoundError(response.status, std::move(code), std::move(message));
  }
  throw BlobError(response.status, std::move(code), std::move(message));
}

BlobServiceClient BlobServiceClient::from_connection_string(std::string_view connection_string) {
  return BlobServiceClient(parse_connection_string(connection_string));
}

BlobServiceClient::BlobServiceClient(ConnectionSettings settings)
    : _settings(std::make_shared<const ConnectionSettings>(std::move(settings))) {}

BlobServiceClient::ContainerClient BlobServiceClient::get_container_client(std::string container_name) const {
  return ContainerClient(_settings, std::move(container_name));
}

BlobServiceClient::ContainerClient::ContainerClient(std::shared_ptr<const ConnectionSettings> settings,
                                                    std::string container_name)
    : _settings(std::move(settings)), _container_name(std::move(container_name)) {
  if (_container_name.empty()) throw ValueError("the container name is empty");
}

std::atomic<int> AsyncBlobServiceClient::_open_count{0};

static http::Limits limits_of(const RequestPolicy& policy) {
  http::Limits limits;
  limits.timeout = http::no_time_limit;
  limits.connect_timeout = policy.connect_timeout;
  limits.low_speed_bytes_per_second = policy.low_speed_bytes_per_second;
  limits.low_speed_time = policy.low_speed_time;
  limits.max_body_bytes = policy.max_blob_bytes;
  return limits;
}

AsyncBlobServiceClient::AsyncBlobServiceClient(const BlobServiceClient& service, RequestPolicy policy, Logger logger)
    : _settings(service.shared_settings()),
      _policy(policy),
      _logger(logger ? std::move(logger) : null_logger()),
      _session({}, limits_of(policy)) {
  if (_policy.max_tries < 1)
    throw ValueError("a blob request needs at least one try, got " + std::to_string(_policy.max_tries));
  ++_open_count;
}

AsyncBlobServiceClient::~AsyncBlobServiceClient() { close(); }

void AsyncBlobServiceClient::close() noexcept {
  if (!_open) return;
  _open = false;
  _session.close();
  --_open_count;
}

AsyncBlobServiceClient::ContainerClient AsyncBlobServiceClient::get_container_client(std::string container_name) {
  return ContainerClient(*this, std::move(container_name));
}

Awaitable<http::Response> AsyncBlobServiceClient::send(std::string method, std::string resource, QueryList query,
                                                       HeaderList headers, std::string body) {
  if (!_open) throw std::logic_error("request through a closed blob service client");
  const ConnectionSettings& settings = *_settings;
  std::string query_text = encode_query(query);
  if (!settings.sas_token.empty()) {
    if (!query_text.empty()) query_text.push_back('&');
    query_text += settings.sas_token;
  }
  std::string url = settings.blob_endpoint + resource;
  if (!query_text.empty()) url += "?" + query_text;
  // Kept for every try without a copy.
  const auto shared_body = std::make_shared<const std::string>(std::move(body));

  for (int attempt = 1;; ++attempt) {
    // Signed anew for every try: the date is part of the signature.
    HeaderList signed_headers = headers;
    signed_headers.emplace_back("x-ms-date", rfc1123_now());
    signed_headers.emplace_back("x-ms-version", std::string(service_version));
    if (settings.uses_shared_key()) {
      const std::string to_sign = shared_key_string_to_sign(
          method, signed_headers, shared_body->size(), settings.account_name, settings.endpoint_path + resource, query);
      signed_headers.emplace_back("Authorization", "SharedKey " + settings.account_name + ":" +
                                                       shared_key_signature(settings.account_key, to_sign));
    }
    std::optional<http::Response> response;
    std::exception_ptr failure;
    try {
      response = co_await _session.request(method, url, std::move(signed_headers), shared_body);
    } catch (const http::BodyTooLargeError&) {
      throw;  // no retry makes the answer smaller
    } catch (const http::HttpError&) {
      failure = std::current_exception();  // the connection failed: transient
    }
    if (response && !is_transient_status(response->status)) co_return std::move(*response);
    if (attempt >= _policy.max_tries) {
      if (failure) std::rethrow_exception(failure);
      co_return std::move(*response);
    }
    const auto delay = retry_delay(_policy, attempt, response ? response->header("Retry-After") : std::nullopt);
    const std::string reason = failure ? error_text(failure) : "HTTP " + std::to_string(response->status);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", std::chrono::duration<double>(delay).count());
    _logger->warn("Retrying blob request " + method + " " + http::printable_url(url) + " in " + seconds + " s (try " +
                  std::to_string(attempt + 1) + " of " + std::to_string(_policy.max_tries) + ") after " + reason);
    co_await sleep(delay);
  }
}

AsyncBlobServiceClient::ContainerClient::ContainerClient(AsyncBlobServiceClient& service, std::string container_name)
    : _service(&service), _container_name(std::move(container_name)) {
  if (_container_name.empty()) throw ValueError("the container name is empty");
}

Awaitable<std::vector<std::string>> AsyncBlobServiceClient::ContainerClient::list_blob_names(std::string prefix,
                                                                                             std::size_t page_size) {
  std::vector<std::string> names;
  std::string marker;
  while (true) {
    // Empty parameters are never sent: the service signs them differently from absent ones.
    QueryList query{{"restype", "container"}, {"comp", "list"}};
    if (!prefix.empty()) query.emplace_back("prefix", prefix);
    if (!marker.empty()) query.emplace_back("marker", marker);
    if (page_size > 0) query.emplace_back("maxresults", std::to_string(page_size));
    const http::Response response = co_await _service->send("GET", "/" + percent_encode(_container_name, false),
                                                            std::move(query), HeaderList());
    expect_status(response, 200);
    BlobListPage page = parse_blob_list(response.body);
    for (auto& name : page.names) names.push_back(std::move(name));
    if (page.next_marker.empty()) co_return names;
    if (page.next_marker == marker) {
      throw std::runtime_error("List Blobs answered the same NextMarker twice ('" + marker + "')");
    }
    marker = std::move(page.next_marker);
  }
}

Awaitable<bool> AsyncBlobServiceClient::ContainerClient::create() {
  // Braced lists are kept out of co_await expressions: g++ 12 miscompiles them there.
  QueryList query{{"restype", "container"}};
  const http::Response response = co_await _service->send("PUT", "/" + percent_encode(_container_name, false),
                                                          std::move(query), HeaderList());
  if (response.status == 409 && response.header("x-ms-error-code").value_or("") == "ContainerAlreadyExists") {
    co_return false;
  }
  expect_status(response, 201);
  co_return true;
}

AsyncBlobServiceClient::BlobClient AsyncBlobServiceClient::ContainerClient::get_blob_client(std::string blob_name) {
  return BlobClient(*_service, _container_name, std::move(blob_name));
}

AsyncBlobServiceClient::BlobClient::BlobClient(AsyncBlobServiceClient& service, std::string container_name,
                                               std::string blob_name)
    : _service(&service), _container_name(std::move(container_name)), _blob_name(std::move(blob_name)) {
  if (_blob_name.empty()) throw ValueError("the blob name is empty");
}

std::string AsyncBlobServiceClient::BlobClient::resource() const {
  return "/" + percent_encode(_container_name, false) + "/" + percent_encode(_blob_name, true);
}

[[noreturn]] static void throw_too_large(const std::string& blob_name, const std::string& what, std::size_t limit) {
  throw BlobTooLargeError("blob '" + blob_name + "' " + what + " the largest state this backend accepts, " +
                              std::to_string(limit) + " bytes (RequestPolicy::max_blob_bytes)",
                          limit);
}

Awaitable<std::string> AsyncBlobServiceClient::BlobClient::download() {
  std::optional<http::Response> response;
  try {
    response = co_await _service->send("GET", resource(), QueryList(), HeaderList());
  } catch (const http::BodyTooLargeError& e) {
    throw_too_large(_blob_name, "is larger than", e.limit);
  }
  expect_status(*response, 200);
  co_return std::move(response->body);
}

Awaitable<AsyncBlobServiceClient::BlobClient::Versioned> AsyncBlobServiceClient::BlobClient::download_versioned() {
  std::optional<http::Response> response;
  try {
    response = co_await _service->send("GET", resource(), QueryList(), HeaderList());
  } catch (const http::BodyTooLargeError& e) {
    throw_too_large(_blob_name, "is larger than", e.limit);
  }
  Versioned out;
  if (response->status == 404 && response->header("x-ms-error-code").value_or("") == "BlobNotFound") co_return out;
  expect_status(*response, 200);
  out.etag = response->header("ETag").value_or("");
  out.body = std::move(response->body);
  co_return out;
}

Awaitable<std::optional<std::string>> AsyncBlobServiceClient::BlobClient::upload_if(
    std::string content, std::optional<std::string> expected_etag) {
  const std::size_t limit = _service->policy().max_blob_bytes;
  if (limit != 0 && content.size() > limit) {
    throw_too_large(_blob_name, "would hold " + std::to_string(content.size()) + " bytes, more than", limit);
  }
  HeaderList headers{{"Content-Type", "application/octet-stream"}, {"x-ms-blob-type", "BlockBlob"}};
  if (expected_etag) {
    headers.emplace_back("If-Match", *expected_etag);
  } else {
    headers.emplace_back("If-None-Match", "*");
  }
  const http::Response response = co_await _service->send("PUT", resource(), QueryList(), std::move(headers),
                                                          std::move(content));
  // A changed blob fails If-Match with 412; an existing one fails If-None-Match: * with 409.
  const std::string code = response.header("x-ms-error-code").value_or("");
  if ((response.status == 412 && code == "ConditionNotMet") ||
      (response.status == 409 && code == "BlobAlreadyExists")) {
    co_return std::nullopt;
  }
  expect_status(response, 201);
  co_return response.header("ETag").value_or("");
}

Awaitable<void> AsyncBlobServiceClient::BlobClient::upload(std::string content) {
  const std::size_t limit = _service->policy().max_blob_bytes;
  if (limit != 0 && content.size() > limit) {
    throw_too_large(_blob_name, "would hold " + std::to_string(content.size()) + " bytes, more than", limit);
  }
  // Put Blob replaces an existing blob whole; the length is exact, never chunked.
  HeaderList headers{{"Content-Type", "application/octet-stream"}, {"x-ms-blob-type", "BlockBlob"}};
  const http::Response response = co_await _service->send("PUT", resource(), QueryList(), std::move(headers),
                                                          std::move(content));
  expect_status(response, 201);
}

}  // namespace vesk::blob

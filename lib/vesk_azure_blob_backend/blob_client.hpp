#pragma once
// Clients of one storage account's blob service over REST: a service client made once from a
// connection string, and asynchronous clients opened for one piece of work and closed after it.

#include "vesk/http/http_client.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/vesk_azure_blob_backend/blob_rest.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::blob {

// The service answered with an error status: the status, the service's error code (such as
// "ContainerNotFound" or "AuthorizationFailure", possibly empty) and its message.
class BlobError : public std::runtime_error {
 public:
  BlobError(long status, std::string code, std::string message);
  const long status;
  const std::string code;
  const std::string message;
};

// The blob asked for does not exist (404 BlobNotFound). A missing container is a plain BlobError.
class BlobNotFoundError : public BlobError {
 public:
  using BlobError::BlobError;
};

// How blob requests ride out a bad minute of the service, and what one may take.
struct RequestPolicy {
  // Tries of one request in all. A connection failure (refused, reset, timed out) and the answers
  // 408, 429, 500, 502, 503 and 504 are tried again; any other answer is final.
  int max_tries = 4;
  // The pause before the first retry, doubled before each further one, each varied by up to a
  // quarter either way so that clients do not retry in step. A Retry-After of the service is
  // honoured when it asks for longer. No pause exceeds max_retry_delay.
  std::chrono::milliseconds first_retry_delay{800};
  std::chrono::milliseconds max_retry_delay{60000};
  // No total time limit: a large state takes as long as its size needs. A connection must be made
  // within connect_timeout, and a transfer slower than low_speed_bytes_per_second for
  // low_speed_time is cut off (and retried).
  std::chrono::milliseconds connect_timeout{10000};
  long low_speed_bytes_per_second = 1024;
  std::chrono::seconds low_speed_time{60};
  // The largest blob read or written: the largest state the backend accepts.
  std::size_t max_blob_bytes = std::size_t{2} << 30;
};

// A blob read or write over RequestPolicy::max_blob_bytes.
class BlobTooLargeError : public std::runtime_error {
 public:
  BlobTooLargeError(const std::string& message, std::size_t limit) : std::runtime_error(message), limit(limit) {}
  const std::size_t limit;
};

// Throws the error for a response with an unexpected status, read from its x-ms-error-code
// header and its <Error> body: BlobNotFoundError for a missing blob, BlobError otherwise.
[[noreturn]] void throw_error_from_response(const http::Response& response);

// The account a connection string names, checked once. Sends nothing itself.
class BlobServiceClient {
 public:
  // ConnectionStringError when the string is unusable.
  static BlobServiceClient from_connection_string(std::string_view connection_string);
  explicit BlobServiceClient(ConnectionSettings settings);

  class ContainerClient;
  // ValueError for an empty container name.
  ContainerClient get_container_client(std::string container_name) const;

  const ConnectionSettings& settings() const noexcept { return *_settings; }
  const std::shared_ptr<const ConnectionSettings>& shared_settings() const noexcept { return _settings; }

 private:
  std::shared_ptr<const ConnectionSettings> _settings;
};

class BlobServiceClient::ContainerClient {
 public:
  ContainerClient(std::shared_ptr<const ConnectionSettings> settings, std::string container_name);
  const std::string& container_name() const noexcept { return _container_name; }

 private:
  std::shared_ptr<const ConnectionSettings> _settings;
  std::string _container_name;
};

// A client opened for one operation: its requests share one HTTP session (so the pages of a
// listing reuse a connection), and closing it, on close() or destruction however the operation
// ended, releases the session's connections. Nothing is kept between operations. Not copyable;
// the container and blob clients it hands out must not outlive it.
class AsyncBlobServiceClient {
 public:
  // Retries are logged at warning level on `logger` (none: not logged).
  explicit AsyncBlobServiceClient(const BlobServiceClient& service, RequestPolicy policy = {}, Logger logger = nullptr);
  ~AsyncBlobServiceClient();
  AsyncBlobServiceClient(const AsyncBlobServiceClient&) = delete;
  AsyncBlobServiceClient& operator=(const AsyncBlobServiceClient&) = delete;

  void close() noexcept;
  bool is_open() const noexcept { return _open; }
  // How many clients are open in this process, for checking that operations release theirs.
  static int open_clients() noexcept { return _open_count.load(); }

  class ContainerClient;
  class BlobClient;
  ContainerClient get_container_client(std::string container_name);

  // Sends one signed request: `resource` is the percent-encoded path below the endpoint
  // ("/container/blob"). Transient failures are tried again as the policy says; any other
  // status is a result, and the last transient failure is the result once the tries are spent.
  Awaitable<http::Response> send(std::string method, std::string resource, QueryList query, HeaderList headers,
                                 std::string body = {});

  const RequestPolicy& policy() const noexcept { return _policy; }

 private:
  std::shared_ptr<const ConnectionSettings> _settings;
  RequestPolicy _policy;
  Logger _logger;
  http::Session _session;
  bool _open = true;
  static std::atomic<int> _open_count;
};

class AsyncBlobServiceClient::ContainerClient {
 public:
  ContainerClient(AsyncBlobServiceClient& service, std::string container_name);

  // Every blob name starting with `prefix` (all when empty), in the service's order, following
  // NextMarker from page to page. `page_size` 0 leaves the page size to the service (5000).
  Awaitable<std::vector<std::string>> list_blob_names(std::string prefix, std::size_t page_size = 0);
  // True when created, false when it existed already.
  Awaitable<bool> create();
  BlobClient get_blob_client(std::string blob_name);

  const std::string& container_name() const noexcept { return _container_name; }

 private:
  AsyncBlobServiceClient* _service;
  std::string _container_name;
};

class AsyncBlobServiceClient::BlobClient {
 public:
  BlobClient(AsyncBlobServiceClient& service, std::string container_name, std::string blob_name);

  // The whole blob; BlobNotFoundError when it does not exist, BlobTooLargeError when it is
  // larger than the policy's max_blob_bytes.
  Awaitable<std::string> download();
  // Creates the block blob or replaces it whole; BlobTooLargeError, before anything is sent, for
  // content larger than max_blob_bytes.
  Awaitable<void> upload(std::string content);
  // The whole blob with its ETag; none for the body when the blob does not exist.
  struct Versioned {
    std::optional<std::string> body;
    std::string etag;
  };
  Awaitable<Versioned> download_versioned();
  // Put Blob only while the blob still has the ETag `expected_etag` (If-Match), or, when that is
  // none, while there is no blob (If-None-Match: *). The new ETag, or none when the service
  // refused the write for its condition.
  Awaitable<std::optional<std::string>> upload_if(std::string content, std::optional<std::string> expected_etag);

  const std::string& blob_name() const noexcept { return _blob_name; }

 private:
  std::string resource() const;
  AsyncBlobServiceClient* _service;
  std::string _container_name;
  std::string _blob_name;
};

}  // namespace vesk::blob

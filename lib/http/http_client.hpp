#pragma once
// A small asynchronous HTTP client over libcurl: one transfer per request, a total time limit,
// the status, the response headers and the whole body. Transfers are driven by the event loop
// (no thread is held per request), and cancelling the awaiting task aborts the transfer.

#include "loop/event_loop.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method = "GET";
  std::string url;
  // Sent exactly as given, in this order; libcurl adds only Host and Accept of its own. A body
  // goes with an exact Content-Length, and no Content-Type or Expect unless given here. An
  // empty value sends the header with an empty value.
  Headers headers;
  std::string body;
  std::chrono::milliseconds timeout{30000};  // connecting, sending and reading together
};

struct Response {
  long status = 0;
  Headers headers;  // names as the server sent them
  std::string body;
  // The first header of that name, compared without regard to case.
  std::optional<std::string> header(std::string_view name) const;
};

// A transport failure (connection refused, reset, bad URL...) with libcurl's message.
class HttpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request's time limit passed.
class TimeoutError : public HttpError {
 public:
  using HttpError::HttpError;
};

// Performs one request on the running loop. Any status is a result; only transport failures
// are errors. Cancelling the awaiting task aborts the transfer and raises CancelledError.
Awaitable<Response> perform(Request request);

// `reference` resolved against `base` by RFC 3986 rules: an absolute path replaces the base's
// path and query, keeping its scheme, host and port. HttpError names both when either is bad.
std::string resolve_url(const std::string& base, const std::string& reference);

// A set of requests that share default headers, a time limit and one connection cache. Used on
// one event loop. Closing it refuses new requests and closes its idle connections once the
// requests in flight have ended.
class Session {
 public:
  explicit Session(Headers default_headers = {},
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Headers& default_headers() const noexcept { return _default_headers; }
  std::chrono::milliseconds timeout() const noexcept { return _timeout; }
  bool closed() const noexcept { return _closed; }

  // Sends the default headers, then `headers` (a header given here replaces a default one of
  // the same name), with the session's time limit. HttpError when the session is closed.
  Awaitable<Response> request(std::string method, std::string url, Headers headers = {},
                              std::string body = {});
  Awaitable<Response> get(std::string url, Headers headers = {});

  // Immediate, so that it also works in a task that is being cancelled.
  void close() noexcept;

  struct Shared;  // the connection cache, kept alive by the transfers that use it

 private:
  Headers _default_headers;
  std::chrono::milliseconds _timeout;
  bool _closed = false;
  std::shared_ptr<Shared> _shared;
};

}  // namespace vesk::http

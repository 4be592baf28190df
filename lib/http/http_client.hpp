#pragma once
// A small asynchronous HTTP client over libcurl: one transfer per request, time and size limits,
// the status, the response headers and the whole body. Transfers are driven by the event loop
// (no thread is held per request), and cancelling the awaiting task aborts the transfer.
//
// URLs appear in error messages without their user information (user:password@) and without
// their query, which may carry a signature.

#include "vesk/loop/event_loop.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// A time limit that never ends.
inline constexpr std::chrono::milliseconds no_time_limit = std::chrono::milliseconds::max();

// What one request may take.
struct Limits {
  // Connecting, sending and reading together; no_time_limit for none.
  std::chrono::milliseconds timeout{30000};
  // Connecting alone (name lookup and TLS included); zero leaves libcurl's 300 s.
  std::chrono::milliseconds connect_timeout{0};
  // A transfer slower than this many bytes a second for low_speed_time is cut off as a
  // timeout: a stalled peer ends the request, while a large transfer takes as long as it needs.
  // A zero time switches the check off.
  long low_speed_bytes_per_second = 0;
  std::chrono::seconds low_speed_time{0};
  // The largest response body taken; a larger one ends the request with BodyTooLargeError.
  // Zero for no limit.
  std::size_t max_body_bytes = 0;
};

struct Request : Limits {
  std::string method = "GET";
  std::string url;
  // Sent exactly as given, in this order; libcurl adds only Host and Accept of its own. A body
  // goes with an exact Content-Length, and no Content-Type or Expect unless given here. An
  // empty value sends the header with an empty value.
  Headers headers;
  std::string body;
  // When set, sent instead of `body` without being copied (a request sent more than once).
  std::shared_ptr<const std::string> shared_body;
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

// The request's time limit passed, or the transfer stalled below its low-speed limit.
class TimeoutError : public HttpError {
 public:
  using HttpError::HttpError;
};

// The response body is larger than the request's max_body_bytes.
class BodyTooLargeError : public HttpError {
 public:
  BodyTooLargeError(const std::string& message, std::size_t limit) : HttpError(message), limit(limit) {}
  const std::size_t limit;
};

// Performs one request on the running loop. Any status is a result; only transport failures
// are errors. Cancelling the awaiting task aborts the transfer and raises CancelledError.
Awaitable<Response> perform(Request request);

// `url` fit for a message: user information masked ("http://***@host/"), query and fragment left
// out. Works on text that is no valid URL as well.
std::string printable_url(std::string_view url);

// True when the URL's host is a loopback name or address: "localhost" (or a name under it),
// 127.0.0.0/8, or ::1. False for anything else, including text that is no URL.
bool is_loopback_url(const std::string& url);

// `reference` resolved against `base` by RFC 3986 rules: an absolute path replaces the base's
// path and query, keeping its scheme, host and port. HttpError names both when either is bad.
std::string resolve_url(const std::string& base, const std::string& reference);

// A set of requests that share default headers, a time limit and one connection cache. Used on
// one event loop. Closing it refuses new requests and closes its idle connections once the
// requests in flight have ended.
class Session {
 public:
  explicit Session(Headers default_headers = {}, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  Session(Headers default_headers, Limits limits);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Headers& default_headers() const noexcept { return _default_headers; }
  std::chrono::milliseconds timeout() const noexcept { return _limits.timeout; }
  const Limits& limits() const noexcept { return _limits; }
  bool closed() const noexcept { return _closed; }

  // Sends the default headers, then `headers` (a header given here replaces a default one of
  // the same name), with the session's limits. HttpError when the session is closed.
  Awaitable<Response> request(std::string method, std::string url, Headers headers = {}, std::string body = {});
  // The same with a body that is not copied, for requests that may be sent again.
  Awaitable<Response> request(std::string method, std::string url, Headers headers,
                              std::shared_ptr<const std::string> body);
  Awaitable<Response> get(std::string url, Headers headers = {});

  // Immediate, so that it also works in a task that is being cancelled.
  void close() noexcept;

  struct Shared;  // the connection cache, kept alive by the transfers that use it

 private:
  Headers _default_headers;
  Limits _limits;
  bool _closed = false;
  std::shared_ptr<Shared> _shared;
};

}  // namespace vesk::http

#pragma once
// A small asynchronous HTTP client over libcurl: one transfer per request, a total time limit,
// the status, the response headers and the whole body. Transfers never block the loop thread,
// and cancelling the awaiting task aborts the transfer.

#include "loop/event_loop.hpp"

#include <chrono>
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
  Headers headers;  // sent exactly as given, in this order
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

// Performs one request. Any status is a result; only transport failures are errors.
Awaitable<Response> perform(Request request);

}  // namespace vesk::http

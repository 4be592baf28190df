#pragma once
// One request as libcurl carries it out: the easy handle built from a Request, with everything
// libcurl reads from or writes into, and the error its outcome turns into.

#include "vesk/http/detail/curl_handles.hpp"
#include "vesk/http/detail/curl_multi.hpp"
#include "vesk/http/http_client.hpp"

#include <curl/curl.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <string>

namespace vesk::http {

struct Session::Shared {
  detail::ShareHandle share;
};

namespace detail {

struct Transfer {
  std::shared_ptr<Session::Shared> shared;  // keeps the connection cache alive while in use
  SlistHandle header_list;
  std::string body;
  std::shared_ptr<const std::string> shared_body;
  Response response;
  char error_buffer[CURL_ERROR_SIZE] = {};
  std::exception_ptr callback_error;
  std::size_t max_body_bytes = 0;  // zero: no limit
  bool body_too_large = false;
  CURLcode result = CURLE_OK;
  EasyHandle easy;  // last, so it is cleaned up before what it points to
};

// Makes the transfer's easy handle send `request` (whose body the transfer already holds) and
// collect the response into the transfer; `multi` learns of the sockets it opens.
void configure(Transfer& transfer, const Request& request, CurlMulti& multi);

// The error of a transfer that ended with a failure: the callbacks' own, BodyTooLargeError,
// TimeoutError, or HttpError with libcurl's message.
[[noreturn]] void fail(const Transfer& transfer, const Request& request);

// Case-insensitive header names.
bool same_name(std::string_view a, std::string_view b);
bool has_header(const Headers& headers, std::string_view name);

}  // namespace detail
}  // namespace vesk::http

#include "vesk/http/detail/transfer.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace vesk::http::detail {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

size_t on_body(char* data, size_t size, size_t count, void* user) noexcept {
  auto* transfer = static_cast<Transfer*>(user);
  try {
    const std::size_t n = size * count;
    auto& body = transfer->response.body;
    if (transfer->max_body_bytes != 0 &&
        n > transfer->max_body_bytes - std::min(body.size(), transfer->max_body_bytes)) {
      transfer->body_too_large = true;
      return 0;  // aborts the transfer
    }
    body.append(data, n);
    return n;
  } catch (...) {
    transfer->callback_error = std::current_exception();
    return 0;
  }
}

size_t on_header(char* data, size_t size, size_t count, void* user) noexcept {
  auto* transfer = static_cast<Transfer*>(user);
  try {
    std::string_view line(data, size * count);
    if (line.substr(0, 5) == "HTTP/") {
      // A new response begins (after a 100 Continue, say): only the last one's headers count.
      transfer->response.headers.clear();
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
      transfer->response.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                              std::string(trim(line.substr(colon + 1))));
    }
    return size * count;
  } catch (...) {
    transfer->callback_error = std::current_exception();
    return 0;
  }
}

curl_socket_t on_open_socket(void* user, curlsocktype, curl_sockaddr* address) noexcept {
  curl_socket_t fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd != CURL_SOCKET_BAD) static_cast<CurlMulti*>(user)->forget_socket(fd);
  return fd;
}

template <class T>
void set(CURL* easy, CURLoption option, T value, const char* name) {
  check(curl_easy_setopt(easy, option, value), name);
}

bool sends_body(const std::string& method, const std::string& body) {
  return !body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
}

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

bool has_header(const Headers& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return same_name(h.first, name); });
}

void configure(Transfer& transfer, const Request& request, CurlMulti& multi) {
  CURL* easy = transfer.easy.get();
  set(easy, CURLOPT_ERRORBUFFER, transfer.error_buffer, "CURLOPT_ERRORBUFFER");
  set(easy, CURLOPT_URL, request.url.c_str(), "CURLOPT_URL");
  set(easy, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
  // A URL from a connection string or a command line must not reach local files or other
  // protocols libcurl knows.
  set(easy, CURLOPT_PROTOCOLS_STR, "http,https", "CURLOPT_PROTOCOLS_STR");
  const long total_ms = request.timeout == no_time_limit ? 0L : static_cast<long>(request.timeout.count());
  set(easy, CURLOPT_TIMEOUT_MS, total_ms, "CURLOPT_TIMEOUT_MS");
  set(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()), "CURLOPT_CONNECTTIMEOUT_MS");
  if (request.low_speed_time.count() > 0) {
    set(easy, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, request.low_speed_bytes_per_second), "CURLOPT_LOW_SPEED_LIMIT");
    set(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.low_speed_time.count()), "CURLOPT_LOW_SPEED_TIME");
  }
  if (request.max_body_bytes != 0) {
    // Refuses an announced length over the limit before any of the body arrives.
    set(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body_bytes), "CURLOPT_MAXFILESIZE_LARGE");
  }
  transfer.max_body_bytes = request.max_body_bytes;
  set(easy, CURLOPT_WRITEFUNCTION, &on_body, "CURLOPT_WRITEFUNCTION");
  set(easy, CURLOPT_WRITEDATA, &transfer, "CURLOPT_WRITEDATA");
  set(easy, CURLOPT_HEADERFUNCTION, &on_header, "CURLOPT_HEADERFUNCTION");
  set(easy, CURLOPT_HEADERDATA, &transfer, "CURLOPT_HEADERDATA");
  set(easy, CURLOPT_OPENSOCKETFUNCTION, &on_open_socket, "CURLOPT_OPENSOCKETFUNCTION");
  set(easy, CURLOPT_OPENSOCKETDATA, &multi, "CURLOPT_OPENSOCKETDATA");
  if (transfer.shared) set(easy, CURLOPT_SHARE, transfer.shared->share.get(), "CURLOPT_SHARE");

  const std::string& payload = transfer.shared_body ? *transfer.shared_body : transfer.body;
  if (request.method == "GET" && payload.empty()) {
    set(easy, CURLOPT_HTTPGET, 1L, "CURLOPT_HTTPGET");
  } else if (request.method == "HEAD") {
    set(easy, CURLOPT_NOBODY, 1L, "CURLOPT_NOBODY");
  } else {
    if (sends_body(request.method, payload)) {
      // libcurl's POST machinery sends the body with its exact Content-Length, also when empty.
      set(easy, CURLOPT_POST, 1L, "CURLOPT_POST");
      set(easy, CURLOPT_POSTFIELDS, payload.data(), "CURLOPT_POSTFIELDS");
      set(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()), "CURLOPT_POSTFIELDSIZE_LARGE");
    }
    if (request.method != "POST") set(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str(), "CURLOPT_CUSTOMREQUEST");
  }

  for (const auto& [name, value] : request.headers) {
    // "Name;" is libcurl's way to send a header with an empty value.
    append(transfer.header_list, value.empty() ? name + ";" : name + ": " + value);
  }
  // Headers libcurl would add to a body by itself change what a signed request says.
  if (!has_header(request.headers, "Content-Type")) append(transfer.header_list, "Content-Type:");
  if (!has_header(request.headers, "Expect")) append(transfer.header_list, "Expect:");
  set(easy, CURLOPT_HTTPHEADER, transfer.header_list.get(), "CURLOPT_HTTPHEADER");
}

void fail(const Transfer& transfer, const Request& request) {
  if (transfer.callback_error) std::rethrow_exception(transfer.callback_error);
  if (transfer.body_too_large || transfer.result == CURLE_FILESIZE_EXCEEDED) {
    throw BodyTooLargeError(request.method + " " + printable_url(request.url) +
                                " failed: the response body is larger than the limit of " +
                                std::to_string(request.max_body_bytes) + " bytes",
                            request.max_body_bytes);
  }
  std::string message = transfer.error_buffer[0] != '\0' ? transfer.error_buffer : curl_easy_strerror(transfer.result);
  message = request.method + " " + printable_url(request.url) + " failed: " + message;
  if (transfer.result == CURLE_OPERATION_TIMEDOUT) throw TimeoutError(message);
  throw HttpError(message);
}

}  // namespace vesk::http::detail

#include "http/http_client.hpp"

#include "http/detail/curl_handles.hpp"
#include "loop/errors.hpp"

#include <asio/execution/context.hpp>
#include <asio/io_context.hpp>
#include <asio/query.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <unordered_map>

namespace vesk::http {

using namespace detail;

struct Session::Shared {
  ShareHandle share;
};

namespace {

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

class CurlMulti;

// One request in flight: the easy handle with everything libcurl reads from or writes into.
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
  bool finished = false;
  CURLcode result = CURLE_OK;
  asio::steady_timer wakeup;  // never expires; cancelled when the transfer ends
  CurlMulti* multi = nullptr;  // set while the handle is added to it
  EasyHandle easy;  // last, so it is cleaned up before what it points to

  explicit Transfer(const asio::any_io_executor& executor)
      : wakeup(executor, asio::steady_timer::time_point::max()) {}
  ~Transfer();
};

// The curl multi handle of one io_context. It lets the loop wait on libcurl's sockets and its
// timer, so transfers cost no thread while they wait. The multi's connection cache is shared by
// the loop's transfers that use no session.
class CurlMulti : public asio::execution_context::service {
 public:
  using key_type = CurlMulti;
  static asio::execution_context::id id;

  explicit CurlMulti(asio::io_context& context)
      : asio::execution_context::service(context), _executor(context.get_executor()), _timer(_executor) {
    // Create the descriptor service before this one: services shut down in the reverse order of
    // their creation, and this one still releases descriptors while it shuts down.
    { asio::posix::stream_descriptor unused(_executor); }
    ensure_global_init();
    _multi.reset(curl_multi_init());
    if (!_multi) throw HttpError("curl_multi_init failed");
    check(curl_multi_setopt(_multi.get(), CURLMOPT_SOCKETFUNCTION, &CurlMulti::on_socket), "CURLMOPT_SOCKETFUNCTION");
    check(curl_multi_setopt(_multi.get(), CURLMOPT_SOCKETDATA, this), "CURLMOPT_SOCKETDATA");
    check(curl_multi_setopt(_multi.get(), CURLMOPT_TIMERFUNCTION, &CurlMulti::on_timer), "CURLMOPT_TIMERFUNCTION");
    check(curl_multi_setopt(_multi.get(), CURLMOPT_TIMERDATA, this), "CURLMOPT_TIMERDATA");
  }

  void shutdown() override {
    _shut_down = true;
    for (auto& [easy, transfer] : _active) {
      curl_multi_remove_handle(_multi.get(), easy);
      transfer->multi = nullptr;
    }
    _active.clear();
    for (auto& [fd, watch] : _sockets) release(*watch);
    _sockets.clear();
    try {
      _timer.cancel();
    } catch (...) {
    }
    _multi.reset();
  }

  void add(Transfer& transfer) {
    if (_shut_down) throw HttpError("the event loop is shutting down");
    check(curl_multi_add_handle(_multi.get(), transfer.easy.get()), "curl_multi_add_handle");
    transfer.multi = this;
    _active.emplace(transfer.easy.get(), &transfer);
  }

  // Aborts a transfer that has not finished; removing the handle closes its connection.
  void remove(Transfer& transfer) noexcept {
    transfer.multi = nullptr;
    if (_shut_down) return;
    _active.erase(transfer.easy.get());
    curl_multi_remove_handle(_multi.get(), transfer.easy.get());
  }

  // A socket libcurl just opened may reuse the number of one it closed without telling us;
  // that one's registration is stale.
  void forget_socket(curl_socket_t fd) noexcept {
    auto it = _sockets.find(fd);
    if (it == _sockets.end()) return;
    release(*it->second);
    _sockets.erase(it);
  }

 private:
  struct SocketWatch {
    asio::posix::stream_descriptor descriptor;
    int wanted = 0;
    bool reading = false;
    bool writing = false;
    bool removed = false;
  };
  using WatchPtr = std::shared_ptr<SocketWatch>;

  static void release(SocketWatch& watch) noexcept {
    watch.removed = true;
    // The socket belongs to libcurl: stop watching it, never close it.
    try {
      watch.descriptor.release();
    } catch (...) {
    }
  }

  static int on_socket(CURL*, curl_socket_t fd, int what, void* self, void*) noexcept {
    try {
      static_cast<CurlMulti*>(self)->watch(fd, what);
      return 0;
    } catch (...) {
      return -1;
    }
  }

  static int on_timer(CURLM*, long timeout_ms, void* self) noexcept {
    try {
      static_cast<CurlMulti*>(self)->schedule_timeout(timeout_ms);
      return 0;
    } catch (...) {
      return -1;
    }
  }

  void watch(curl_socket_t fd, int what) {
    if (what == CURL_POLL_REMOVE) {
      forget_socket(fd);
      return;
    }
    auto& watch = _sockets[fd];
    if (!watch) watch = std::make_shared<SocketWatch>(SocketWatch{asio::posix::stream_descriptor(_executor, fd)});
    watch->wanted = what;
    arm(watch, fd);
  }

  void arm(const WatchPtr& watch, curl_socket_t fd) {
    if ((watch->wanted & CURL_POLL_IN) && !watch->reading) wait(watch, fd, CURL_CSELECT_IN);
    if ((watch->wanted & CURL_POLL_OUT) && !watch->writing) wait(watch, fd, CURL_CSELECT_OUT);
  }

  void wait(const WatchPtr& watch, curl_socket_t fd, int direction) {
    const bool in = direction == CURL_CSELECT_IN;
    (in ? watch->reading : watch->writing) = true;
    auto ready = [this, watch, fd, direction, in](asio::error_code error) {
      (in ? watch->reading : watch->writing) = false;
      if (watch->removed || _shut_down) return;
      if (error == asio::error::operation_aborted) return;
      if (error) {
        // Not watched again: an error that persists would come back at once, forever. libcurl
        // ends or re-registers the socket, or the transfer's time limit ends it.
        socket_action(fd, CURL_CSELECT_ERR);
        return;
      }
      socket_action(fd, direction);
      if (!watch->removed) arm(watch, fd);
    };
    // Asio's reactor reports readiness edges, and an edge that came while no wait was queued is
    // not reported again; libcurl expects readiness that holds to be reported. So readiness that
    // already holds is acted on at once, and only otherwise does the reactor wait for an edge.
    pollfd probe{fd, static_cast<short>(in ? POLLIN : POLLOUT), 0};
    if (::poll(&probe, 1, 0) > 0) {
      asio::post(_executor, [ready] { ready(asio::error_code()); });
      return;
    }
    watch->descriptor.async_wait(in ? asio::posix::stream_descriptor::wait_read
                                    : asio::posix::stream_descriptor::wait_write,
                                 ready);
  }

  void schedule_timeout(long timeout_ms) {
    _timer.cancel();
    if (timeout_ms < 0) return;
    _timer.expires_after(std::chrono::milliseconds(timeout_ms));
    _timer.async_wait([this](asio::error_code error) {
      if (error || _shut_down) return;
      socket_action(CURL_SOCKET_TIMEOUT, 0);
    });
  }

  void socket_action(curl_socket_t fd, int events) {
    int running = 0;
    curl_multi_socket_action(_multi.get(), fd, events, &running);
    collect_finished();
  }

  void collect_finished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(_multi.get(), &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode result = message->data.result;
      auto it = _active.find(easy);
      if (it == _active.end()) continue;
      Transfer* transfer = it->second;
      _active.erase(it);
      curl_multi_remove_handle(_multi.get(), easy);
      transfer->multi = nullptr;
      transfer->finished = true;
      transfer->result = result;
      transfer->wakeup.cancel();
    }
  }

  asio::any_io_executor _executor;
  asio::steady_timer _timer;
  MultiHandle _multi;
  bool _shut_down = false;
  std::unordered_map<curl_socket_t, WatchPtr> _sockets;
  std::unordered_map<CURL*, Transfer*> _active;
};

asio::execution_context::id CurlMulti::id;

Transfer::~Transfer() {
  if (multi != nullptr) multi->remove(*this);
}

size_t on_body(char* data, size_t size, size_t count, void* user) noexcept {
  auto* transfer = static_cast<Transfer*>(user);
  try {
    const std::size_t n = size * count;
    auto& body = transfer->response.body;
    if (transfer->max_body_bytes != 0 && n > transfer->max_body_bytes - std::min(body.size(), transfer->max_body_bytes)) {
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

asio::io_context& io_context_of(const asio::any_io_executor& executor) {
  if (auto* plain = executor.target<asio::io_context::executor_type>()) return plain->context();
  // An executor of the running loop wrapped in other properties.
  EventLoop* loop = EventLoop::try_running();
  if (loop != nullptr && &asio::query(executor, asio::execution::context) == &loop->context()) return loop->context();
  throw HttpError("HTTP requests run on an event loop only");
}

template <class T>
void set(CURL* easy, CURLoption option, T value, const char* name) {
  check(curl_easy_setopt(easy, option, value), name);
}

bool has_header(const Headers& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return same_name(h.first, name); });
}

bool sends_body(const std::string& method, const std::string& body) {
  return !body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
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

[[noreturn]] void fail(const Transfer& transfer, const Request& request) {
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

Awaitable<Response> perform_shared(Request request, std::shared_ptr<Session::Shared> shared) {
  if (request.timeout <= std::chrono::milliseconds::zero()) {
    throw ValueError("the time limit of a request must be positive, got " + std::to_string(request.timeout.count()) + " ms");
  }
  if (request.connect_timeout < std::chrono::milliseconds::zero() || request.low_speed_time.count() < 0 ||
      request.low_speed_bytes_per_second < 0) {
    throw ValueError("the connect and low-speed limits of a request must not be negative");
  }
  auto executor = co_await asio::this_coro::executor;
  asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
  if (cancellation.cancelled() != asio::cancellation_type::none) throw CancelledError();

  CurlMulti& multi = asio::use_service<CurlMulti>(io_context_of(executor));

  Transfer transfer(executor);
  transfer.shared = std::move(shared);
  transfer.easy.reset(curl_easy_init());
  if (!transfer.easy) throw HttpError("curl_easy_init failed");
  transfer.body = std::move(request.body);
  transfer.shared_body = std::move(request.shared_body);
  configure(transfer, request, multi);
  multi.add(transfer);

  try {
    co_await transfer.wakeup.async_wait(asio::use_awaitable);
  } catch (const std::system_error& error) {
    if (error.code() != asio::error::operation_aborted) throw;
  }
  // The wait ends when the transfer ends, or early when the task is cancelled; in that case the
  // transfer's destructor takes it out of the multi handle, which aborts it.
  if (!transfer.finished) throw CancelledError();
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

Awaitable<Response> Session::request(std::string method, std::string url, Headers headers, std::string body) {
  // The checks happen when the request is awaited, like its failures.
  if (_closed) throw HttpError("the HTTP session is closed");
  Request request;
  request.method = std::move(method);
  request.url = std::move(url);
  request.body = std::move(body);
  static_cast<Limits&>(request) = _limits;
  for (const auto& header : _default_headers) {
    if (!has_header(headers, header.first)) request.headers.push_back(header);
  }
  for (auto& header : headers) request.headers.push_back(std::move(header));
  co_return co_await perform_shared(std::move(request), _shared);
}

Awaitable<Response> Session::request(std::string method, std::string url, Headers headers,
                                     std::shared_ptr<const std::string> body) {
  if (_closed) throw HttpError("the HTTP session is closed");
  Request request;
  request.method = std::move(method);
  request.url = std::move(url);
  request.shared_body = std::move(body);
  static_cast<Limits&>(request) = _limits;
  for (const auto& header : _default_headers) {
    if (!has_header(headers, header.first)) request.headers.push_back(header);
  }
  for (auto& header : headers) request.headers.push_back(std::move(header));
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

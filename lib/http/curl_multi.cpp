#include "vesk/http/detail/curl_multi.hpp"

#include <asio/error.hpp>
#include <asio/execution/context.hpp>
#include <asio/post.hpp>
#include <asio/query.hpp>

#include <poll.h>

#include <chrono>

namespace vesk::http::detail {

asio::execution_context::id CurlMulti::id;

CurlMulti::CurlMulti(asio::io_context& context)
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

CurlMulti& CurlMulti::of(const asio::any_io_executor& executor) {
  if (auto* plain = executor.target<asio::io_context::executor_type>()) {
    return asio::use_service<CurlMulti>(plain->context());
  }
  // An executor of the running loop wrapped in other properties.
  EventLoop* loop = EventLoop::try_running();
  if (loop != nullptr && &asio::query(executor, asio::execution::context) == &loop->context()) {
    return asio::use_service<CurlMulti>(loop->context());
  }
  throw HttpError("HTTP requests run on an event loop only");
}

void CurlMulti::shutdown() {
  _shut_down = true;
  for (auto& [easy, pending] : _active) curl_multi_remove_handle(_multi.get(), easy);
  _active.clear();
  for (auto& [fd, watch] : _sockets) release(*watch);
  _sockets.clear();
  try {
    _timer.cancel();
  } catch (...) {
  }
  _multi.reset();
}

Awaitable<CURLcode> CurlMulti::perform(CURL* easy) {
  if (_shut_down) throw HttpError("the event loop is shutting down");
  auto pending = std::make_shared<Pending>();
  check(curl_multi_add_handle(_multi.get(), easy), "curl_multi_add_handle");
  _active.emplace(easy, pending);
  // Whichever way the wait ends (the transfer ended, the task was cancelled, the loop went
  // away), the handle is out of the multi handle afterwards.
  struct Removal {
    CurlMulti& multi;
    CURL* easy;
    ~Removal() { multi.remove(easy); }
  } removal{*this, easy};
  co_await pending->done.wait();
  co_return pending->result;
}

void CurlMulti::remove(CURL* easy) noexcept {
  if (_shut_down) return;
  if (_active.erase(easy) != 0) curl_multi_remove_handle(_multi.get(), easy);
}

void CurlMulti::forget_socket(curl_socket_t fd) noexcept {
  auto it = _sockets.find(fd);
  if (it == _sockets.end()) return;
  release(*it->second);
  _sockets.erase(it);
}

void CurlMulti::release(SocketWatch& watch) noexcept {
  watch.removed = true;
  // The socket belongs to libcurl: stop watching it, never close it.
  try {
    watch.descriptor.release();
  } catch (...) {
  }
}

int CurlMulti::on_socket(CURL*, curl_socket_t fd, int what, void* self, void*) noexcept {
  try {
    static_cast<CurlMulti*>(self)->watch(fd, what);
    return 0;
  } catch (...) {
    return -1;
  }
}

int CurlMulti::on_timer(CURLM*, long timeout_ms, void* self) noexcept {
  try {
    static_cast<CurlMulti*>(self)->schedule_timeout(timeout_ms);
    return 0;
  } catch (...) {
    return -1;
  }
}

void CurlMulti::watch(curl_socket_t fd, int what) {
  if (what == CURL_POLL_REMOVE) {
    forget_socket(fd);
    return;
  }
  auto& watch = _sockets[fd];
  if (!watch) watch = std::make_shared<SocketWatch>(SocketWatch{asio::posix::stream_descriptor(_executor, fd)});
  watch->wanted = what;
  arm(watch, fd);
}

void CurlMulti::arm(const WatchPtr& watch, curl_socket_t fd) {
  if ((watch->wanted & CURL_POLL_IN) && !watch->reading) wait(watch, fd, CURL_CSELECT_IN);
  if ((watch->wanted & CURL_POLL_OUT) && !watch->writing) wait(watch, fd, CURL_CSELECT_OUT);
}

void CurlMulti::wait(const WatchPtr& watch, curl_socket_t fd, int direction) {
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
  watch->descriptor.async_wait(
      in ? asio::posix::stream_descriptor::wait_read : asio::posix::stream_descriptor::wait_write, ready);
}

void CurlMulti::schedule_timeout(long timeout_ms) {
  _timer.cancel();
  if (timeout_ms < 0) return;
  _timer.expires_after(std::chrono::milliseconds(timeout_ms));
  _timer.async_wait([this](asio::error_code error) {
    if (error || _shut_down) return;
    socket_action(CURL_SOCKET_TIMEOUT, 0);
  });
}

void CurlMulti::socket_action(curl_socket_t fd, int events) {
  int running = 0;
  curl_multi_socket_action(_multi.get(), fd, events, &running);
  collect_finished();
}

void CurlMulti::collect_finished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(_multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    auto it = _active.find(easy);
    if (it == _active.end()) continue;
    auto pending = std::move(it->second);
    _active.erase(it);
    curl_multi_remove_handle(_multi.get(), easy);
    pending->result = result;
    pending->done.set();
  }
}

}  // namespace vesk::http::detail

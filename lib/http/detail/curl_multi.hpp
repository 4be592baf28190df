#pragma once
// The libcurl-multi reactor of one io_context: the loop waits on libcurl's sockets and its timer,
// so transfers cost no thread while they wait. One per io_context, created on first use.

#include "vesk/http/detail/curl_handles.hpp"
#include "vesk/loop/event.hpp"
#include "vesk/loop/event_loop.hpp"

#include <asio/execution_context.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <curl/curl.h>

#include <memory>
#include <unordered_map>

namespace vesk::http::detail {

class CurlMulti : public asio::execution_context::service {
 public:
  using key_type = CurlMulti;
  static asio::execution_context::id id;

  explicit CurlMulti(asio::io_context& context);

  // The reactor of the loop that `executor` runs on; HttpError for an executor of no loop.
  static CurlMulti& of(const asio::any_io_executor& executor);

  // Drives `easy` to its end and returns libcurl's result for it. Cancelling the wait takes the
  // handle out again, which aborts the transfer and closes its connection. `easy` (and all it
  // points to) must outlive the wait. HttpError when the loop is shutting down.
  Awaitable<CURLcode> perform(CURL* easy);

  // A socket libcurl just opened may reuse the number of one it closed without telling us;
  // that one's registration is stale.
  void forget_socket(curl_socket_t fd) noexcept;

  void shutdown() override;

 private:
  struct Pending {
    Event done;
    CURLcode result = CURLE_OK;
  };
  struct SocketWatch {
    asio::posix::stream_descriptor descriptor;
    int wanted = 0;
    bool reading = false;
    bool writing = false;
    bool removed = false;
  };
  using WatchPtr = std::shared_ptr<SocketWatch>;

  // Takes out a transfer that has not finished; a no-op for one that has.
  void remove(CURL* easy) noexcept;
  static void release(SocketWatch& watch) noexcept;
  static int on_socket(CURL*, curl_socket_t fd, int what, void* self, void*) noexcept;
  static int on_timer(CURLM*, long timeout_ms, void* self) noexcept;
  void watch(curl_socket_t fd, int what);
  void arm(const WatchPtr& watch, curl_socket_t fd);
  void wait(const WatchPtr& watch, curl_socket_t fd, int direction);
  void schedule_timeout(long timeout_ms);
  void socket_action(curl_socket_t fd, int events);
  void collect_finished();

  asio::any_io_executor _executor;
  asio::steady_timer _timer;
  MultiHandle _multi;
  bool _shut_down = false;
  std::unordered_map<curl_socket_t, WatchPtr> _sockets;
  std::unordered_map<CURL*, std::shared_ptr<Pending>> _active;
};

}  // namespace vesk::http::detail

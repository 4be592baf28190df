#pragma once
// A small HTTP/1.1 server for tests, on 127.0.0.1 at a free port, one thread per connection.
// It records every request it reads and answers with whatever the test's handler returns,
// after an optional delay during which it notices a client that hangs up.

#include "unused_port.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vesk::testing {

struct ReceivedRequest {
  std::string method;
  std::string target;  // as on the request line: path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The first header of that name, without regard to case.
  std::optional<std::string> header(const std::string& name) const;
};

struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};  // before anything is sent
  bool unannounced_length = false;     // no Content-Length: the body ends when the connection does
};

class TestHttpServer {
 public:
  using Handler = std::function<Reply(const ReceivedRequest&)>;

  explicit TestHttpServer(Handler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const noexcept { return _port; }
  std::string url(const std::string& path = "/") const;

  std::vector<ReceivedRequest> requests() const;
  int connections() const noexcept { return _connections.load(); }
  // Connections whose client hung up while the server was still delaying its reply.
  int abandoned() const noexcept { return _abandoned.load(); }
  // Waits until abandoned() reaches `count` or `limit` passes.
  bool wait_abandoned(int count, std::chrono::milliseconds limit) const;

  void stop();

 private:
  void accept_loop();
  void serve(int fd);
  bool pause(int fd, std::chrono::milliseconds delay);

  Handler _handler;
  int _listen_fd = -1;
  int _port = 0;
  std::atomic<bool> _stopping{false};
  std::atomic<int> _connections{0};
  std::atomic<int> _abandoned{0};
  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  std::vector<ReceivedRequest> _requests;
  std::vector<int> _open_fds;
  std::vector<std::thread> _threads;
  std::thread _acceptor;
};

}  // namespace vesk::testing

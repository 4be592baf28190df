#include "test_http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vesk::testing {
namespace {

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (same_name(key, name)) return value;
  }
  return std::nullopt;
}

TestHttpServer::TestHttpServer(Handler handler) : _handler(std::move(handler)) {
  _listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (_listen_fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(_listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(_listen_fd, 64) != 0) {
    ::close(_listen_fd);
    throw std::runtime_error(std::string("bind/listen: ") + std::strerror(errno));
  }
  socklen_t length = sizeof address;
  ::getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
  _port = ntohs(address.sin_port);
  _acceptor = std::thread([this] { accept_loop(); });
}

TestHttpServer::~TestHttpServer() { stop(); }

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(_port) + path;
}

std::vector<ReceivedRequest> TestHttpServer::requests() const {
  std::lock_guard lock(_mutex);
  return _requests;
}

bool TestHttpServer::wait_abandoned(int count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(_mutex);
  return _changed.wait_for(lock, limit, [&] { return _abandoned.load() >= count; });
}

void TestHttpServer::stop() {
  if (_stopping.exchange(true)) return;
  if (_acceptor.joinable()) _acceptor.join();
  {
    std::lock_guard lock(_mutex);
    for (int fd : _open_fds) ::shutdown(fd, SHUT_RDWR);
  }
  _changed.notify_all();
  for (auto& thread : _threads) thread.join();
  // Closed only now, so that a shutdown above never hits a number reused by someone else.
  for (int fd : _open_fds) ::close(fd);
  ::close(_listen_fd);
}

void TestHttpServer::accept_loop() {
  while (!_stopping) {
    pollfd probe{_listen_fd, POLLIN, 0};
    if (::poll(&probe, 1, 50) <= 0) continue;
    int fd = ::accept4(_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++_connections;
    std::lock_guard lock(_mutex);
    _open_fds.push_back(fd);
    _threads.emplace_back([this, fd] { serve(fd); });
  }
}

// Waits out a reply's delay; false when the client hung up or the server stops meanwhile.
bool TestHttpServer::pause(int fd, std::chrono::milliseconds delay) {
  auto until = std::chrono::steady_clock::now() + delay;
  while (!_stopping) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return true;
    pollfd probe{fd, POLLIN | POLLRDHUP, 0};
    int timeout = static_cast<int>(std::min<long long>(left.count(), 20));
    if (::poll(&probe, 1, timeout) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      {
        std::lock_guard lock(_mutex);
        ++_abandoned;
      }
      _changed.notify_all();
      return false;
    }
  }
  return false;
}

void TestHttpServer::serve(int fd) {
  std::string buffer;
  char chunk[65536];
  auto read_more = [&]() {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  };
  while (!_stopping) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!read_more()) goto done;
    }
    {
      ReceivedRequest request;
      std::string head = buffer.substr(0, end + 2);
      buffer.erase(0, end + 4);
      std::size_t line_end = head.find("\r\n");
      std::string request_line = head.substr(0, line_end);
      auto first_space = request_line.find(' ');
      auto second_space = request_line.find(' ', first_space + 1);
      request.method = request_line.substr(0, first_space);
      request.target = request_line.substr(first_space + 1, second_space - first_space - 1);
      for (std::size_t at = line_end + 2; at < head.size();) {
        std::size_t next = head.find("\r\n", at);
        std::string line = head.substr(at, next - at);
        at = next + 2;
        auto colon = line.find(':');
        if (colon != std::string::npos)
          request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
      }
      std::size_t length = 0;
      if (auto value = request.header("Content-Length")) length = std::stoul(*value);
      while (buffer.size() < length) {
        if (!read_more()) goto done;
      }
      request.body = buffer.substr(0, length);
      buffer.erase(0, length);
      {
        std::lock_guard lock(_mutex);
        _requests.push_back(request);
      }
      Reply reply = _handler(request);
      if (reply.delay.count() > 0 && !pause(fd, reply.delay)) goto done;
      std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
      for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
      if (reply.unannounced_length) out += "Connection: close\r\n";
      if (!reply.unannounced_length) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      out += "\r\n" + reply.body;
      if (!send_all(fd, out) || reply.unannounced_length) goto done;
    }
  }
done:
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace vesk::testing

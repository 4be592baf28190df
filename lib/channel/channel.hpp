#pragma once
// The worker channel: a private local stream connection between a partition consumer and one
// worker process. Each frame is one pickle value preceded by its 4-byte big-endian length.
// All operations run on the event loop, asynchronously.

#include "loop/event_loop.hpp"
#include "values/value.hpp"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

// One end of a channel.
class ChannelConnection {
 public:
  explicit ChannelConnection(asio::ip::tcp::socket socket);
  ~ChannelConnection();

  // Connects to a listener (the worker end). Fails when nothing listens there.
  static Awaitable<std::shared_ptr<ChannelConnection>> connect(std::string host, std::uint16_t port);

  // Sends one value. Fails when the other end has gone.
  Awaitable<void> send(const Value& value);
  // Sends one value already encoded as a whole pickle (framing is added here).
  Awaitable<void> send_encoded(std::string pickle);
  // Receives one whole value; fails with an end-of-stream error when the other end has gone.
  Awaitable<Value> receive();
  // Receives one whole frame and returns its pickle bytes undecoded.
  Awaitable<std::string> receive_encoded();

  void close() noexcept;

 private:
  asio::ip::tcp::socket _socket;
};

// The consumer end's listener: bound to "localhost", port 0, accepting exactly one connection.
class ChannelListener {
 public:
  ChannelListener();  // binds at once; runs on the loop of the calling thread
  ~ChannelListener();

  std::string host() const;
  std::uint16_t port() const;

  // Starts the one accept: the task completes with the connection when the worker connects,
  // and fails once close() is called before that. Several exchanges await the same task.
  Task<std::shared_ptr<ChannelConnection>> accept();

  void close() noexcept;

 private:
  asio::ip::tcp::acceptor _acceptor;
};

}  // namespace vesk

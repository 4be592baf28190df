#pragma once
// The worker channel: a private local stream connection between a partition consumer and one
// worker process. Each frame is one pickle value preceded by its 4-byte big-endian length.
// All operations run on the event loop, asynchronously.
//
// The values on a channel, and the order of their exchange, are the worker protocol's: see
// worker_protocol.hpp.
//
// Before any of these, the worker authenticates itself with its secret (see handshake.hpp).
//
// At most one exchange may use a connection at a time. Cancelling a send or a receive midway
// leaves the stream out of step: close the connection afterwards.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/values/value.hpp"
#include "vesk/vesk_feed/message.hpp"

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk {

// A channel failure that is not a plain socket error: a frame over the limit, a connection that
// could not be made, a listener closed before its worker connected.
class ChannelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The other end has closed the channel (end of stream, reset, broken pipe).
class ChannelClosedError : public ChannelError {
 public:
  using ChannelError::ChannelError;
};

// The largest frame either end sends or accepts. Far above any batch, and high enough for the
// state maps of millions of keys; a larger length from the peer means a corrupt stream.
inline constexpr std::uint32_t max_frame_bytes = 0x80000000u;  // 2 GiB

// One end of a channel.
class ChannelConnection {
 public:
  explicit ChannelConnection(asio::ip::tcp::socket socket);
  ~ChannelConnection();
  ChannelConnection(const ChannelConnection&) = delete;
  ChannelConnection& operator=(const ChannelConnection&) = delete;

  // Connects to a listener (the worker end) and sends the handshake with `secret`, the
  // listener's secret. Fails with ChannelError naming the address when nothing listens there,
  // and before connecting when `secret` is empty.
  static Awaitable<std::shared_ptr<ChannelConnection>> connect(std::string host, std::uint16_t port,
                                                               std::string secret);

  // Sends one value. Fails when the other end has gone.
  Awaitable<void> send(const Value& value);
  // Sends one value already encoded as a whole pickle (framing is added here).
  Awaitable<void> send_encoded(std::string pickle);
  // Sends one message batch, encoded straight from the messages (worker_protocol::MessageBatch).
  Awaitable<void> send_batch(const std::vector<Message>& messages);
  Awaitable<void> send_batch(const std::vector<const Message*>& messages);
  // Sends one value that `encode(out)` appends to `out` as one whole pickle: the encoders of
  // worker_protocol.hpp, for example Drained::encode.
  template <class Encode>
  Awaitable<void> send_with(Encode encode) {
    _start_frame();
    encode(_out);
    co_await _send_frame();
  }
  // Receives one whole value; fails with ChannelClosedError when the other end has gone.
  Awaitable<Value> receive();
  // Receives one whole frame; its pickle bytes stay valid until the next receive.
  Awaitable<std::string_view> receive_frame();
  // Receives one whole frame and returns its pickle bytes undecoded.
  Awaitable<std::string> receive_encoded();

  void close() noexcept;

 private:
  // Writes the frame whose 4 header bytes are reserved at the front of `_out`.
  Awaitable<void> _send_frame();
  void _start_frame();
  // Reads one frame's pickle bytes into `body`.
  Awaitable<void> _read_frame(std::string& body);

  asio::ip::tcp::socket _socket;
  std::string _out;  // reused between sends
  std::string _in;   // reused between receives
};

// The consumer end's listener: bound to "localhost" (the loopback address 127.0.0.1), port 0,
// handing out exactly one connection: the first whose handshake carries this listener's secret.
class ChannelListener {
 public:
  // Binds at once and makes the secret; runs on the loop of the calling thread. Refused
  // connections are logged on `logger` (the module's own, "vesk.lib.channel", when none).
  explicit ChannelListener(Logger logger = nullptr);
  ~ChannelListener();
  ChannelListener(const ChannelListener&) = delete;
  ChannelListener& operator=(const ChannelListener&) = delete;

  // The bound address, to give to the worker process.
  std::string host() const;
  std::uint16_t port() const;
  // The secret the worker must send first, to give to the worker process in its environment
  // (VESK_WORKER_SECRET), never on its command line.
  const std::string& secret() const;

  // How long a connection may take to send its handshake before it is refused.
  static constexpr std::chrono::seconds handshake_timeout{10};

  // Starts the one accept: the task completes with the connection when the worker has connected
  // and sent the secret, and fails with ChannelError once close() is called before that. Several
  // exchanges await the same task; later calls return that same task.
  //
  // Connections are checked side by side, so one that sends nothing holds up nobody. One whose
  // first frame is not the secret, or that sends none within handshake_timeout, is told
  // "handshake refused", closed and logged at warning level; the listener waits on for its
  // worker. Once the worker is in, the listener takes no further connections.
  Task<std::shared_ptr<ChannelConnection>> accept();

  // Refuses further connections, fails a pending accept and drops the connections still
  // being checked.
  void close() noexcept;

  struct State;  // shared with the accept task and the handshake checks

 private:
  std::shared_ptr<State> _state;
};

}  // namespace vesk

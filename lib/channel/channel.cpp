#include "vesk/channel/channel.hpp"

#include "vesk/channel/handshake.hpp"
#include "vesk/channel/worker_protocol.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/values/large_block.hpp"

#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/error.hpp>
#include <asio/ip/address_v4.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <array>
#include <cstring>
#include <list>
#include <system_error>

namespace vesk {
namespace {

// Frames are read in pieces of this size at most, so that a length announced by the peer costs
// memory only as its bytes actually arrive.
constexpr std::size_t read_chunk_bytes = std::size_t{16} << 20;

bool is_closed_error(const std::error_code& ec) {
  return ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::connection_aborted || ec == asio::error::not_connected;
}

// Socket errors that mean "the other end has gone" become ChannelClosedError; cancellation and
// every other error pass unchanged.
[[noreturn]] void rethrow_channel_error(std::exception_ptr error, const char* during) {
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& e) {
    if (is_closed_error(e.code())) {
      throw ChannelClosedError(std::string("the worker channel was closed by the other end") + during);
    }
    throw;
  }
}

void put_length(char* out, std::size_t size) {
  if (size > max_frame_bytes) {
    throw ChannelError("cannot send a value of " + std::to_string(size) + " bytes: the frame limit is " +
                       std::to_string(max_frame_bytes) + " bytes");
  }
  const auto n = static_cast<std::uint32_t>(size);
  out[0] = static_cast<char>((n >> 24) & 0xff);
  out[1] = static_cast<char>((n >> 16) & 0xff);
  out[2] = static_cast<char>((n >> 8) & 0xff);
  out[3] = static_cast<char>(n & 0xff);
}

void close_socket(asio::ip::tcp::socket& socket) noexcept {
  std::error_code ignored;
  if (socket.is_open()) {
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
}

void set_nodelay(asio::ip::tcp::socket& socket) {
  // Frames are written whole; waiting to coalesce them only adds latency to every exchange.
  socket.set_option(asio::ip::tcp::no_delay(true));
}

}  // namespace

// --- ChannelConnection -------------------------------------------------------------------------

ChannelConnection::ChannelConnection(asio::ip::tcp::socket socket) : _socket(std::move(socket)) {}

ChannelConnection::~ChannelConnection() { close(); }

Awaitable<std::shared_ptr<ChannelConnection>> ChannelConnection::connect(std::string host, std::uint16_t port,
                                                                         std::string secret) {
  if (secret.empty()) {
    throw ChannelError("cannot connect the worker channel to " + host + ":" + std::to_string(port) +
                       " without its secret: " + worker_secret_variable +
                       " is not set (a worker is started by its partition consumer, which sets it)");
  }
  auto executor = co_await asio::this_coro::executor;
  asio::ip::tcp::socket socket(executor);
  try {
    // The consumer passes its listener's numeric address: connecting to it directly spares each
    // worker the resolver's own thread (and the memory arena that thread's first allocation makes).
    std::error_code not_numeric;
    const auto address = asio::ip::make_address(host, not_numeric);
    if (!not_numeric) {
      co_await socket.async_connect(asio::ip::tcp::endpoint(address, port), asio::use_awaitable);
    } else {
      asio::ip::tcp::resolver resolver(executor);
      auto endpoints = co_await resolver.async_resolve(host, std::to_string(port), asio::use_awaitable);
      co_await asio::async_connect(socket, endpoints, asio::use_awaitable);
    }
    set_nodelay(socket);
  } catch (const std::system_error& e) {
    if (e.code() == asio::error::operation_aborted) throw;
    throw ChannelError("cannot connect the worker channel to " + host + ":" + std::to_string(port) + ": " +
                       e.code().message());
  }
  auto connection = std::make_shared<ChannelConnection>(std::move(socket));
  connection->_out = handshake_frame(secret);
  try {
    co_await asio::async_write(connection->_socket, asio::buffer(connection->_out), asio::use_awaitable);
  } catch (...) {
    rethrow_channel_error(std::current_exception(), " before the handshake was sent");
  }
  co_return connection;
}

void ChannelConnection::_start_frame() {
  _out.clear();
  _out.append(4, '\0');
}

Awaitable<void> ChannelConnection::_send_frame() {
  put_length(_out.data(), _out.size() - 4);
  try {
    co_await asio::async_write(_socket, asio::buffer(_out), asio::use_awaitable);
  } catch (...) {
    rethrow_channel_error(std::current_exception(), "");
  }
  // A huge state map should not pin its buffer for the life of the channel.
  if (_out.capacity() > read_chunk_bytes) std::string().swap(_out);
}

Awaitable<void> ChannelConnection::send(const Value& value) {
  _start_frame();
  pickle::dump_into(_out, value);
  co_await _send_frame();
}

Awaitable<void> ChannelConnection::send_encoded(std::string pickle) {
  std::array<char, 4> header{};
  put_length(header.data(), pickle.size());
  std::array<asio::const_buffer, 2> buffers{asio::buffer(header), asio::buffer(pickle)};
  try {
    co_await asio::async_write(_socket, buffers, asio::use_awaitable);
  } catch (...) {
    rethrow_channel_error(std::current_exception(), "");
  }
}

Awaitable<void> ChannelConnection::send_batch(const std::vector<Message>& messages) {
  _start_frame();
  worker_protocol::MessageBatch::encode(_out, messages);
  co_await _send_frame();
}

Awaitable<void> ChannelConnection::send_batch(const std::vector<const Message*>& messages) {
  _start_frame();
  worker_protocol::MessageBatch::encode(_out, messages);
  co_await _send_frame();
}

Awaitable<std::string> ChannelConnection::receive_encoded() {
  std::string body;
  co_await _read_frame(body);
  co_return body;
}

Awaitable<void> ChannelConnection::_read_frame(std::string& body) {
  std::array<unsigned char, 4> header{};
  body.clear();
  try {
    co_await asio::async_read(_socket, asio::buffer(header), asio::use_awaitable);
  } catch (...) {
    rethrow_channel_error(std::current_exception(), "");
  }
  const std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                             (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (size > max_frame_bytes) {
    // The rest of the stream cannot be trusted to be in step any more.
    close();
    throw ChannelError("received a frame length of " + std::to_string(size) + " bytes, over the limit of " +
                       std::to_string(max_frame_bytes) + " bytes: the channel is corrupt and was closed");
  }
  if (size > body.capacity()) {
    // A large frame (a state map) lands in memory backed by huge pages: far fewer page faults.
    body.reserve(size);
    detail::advise_huge_pages(body.data(), body.capacity());
  }
  try {
    std::size_t have = 0;
    while (have < size) {
      const std::size_t piece = std::min<std::size_t>(size - have, read_chunk_bytes);
      body.resize(have + piece);
      co_await asio::async_read(_socket, asio::buffer(body.data() + have, piece), asio::use_awaitable);
      have += piece;
    }
  } catch (...) {
    rethrow_channel_error(std::current_exception(), " in the middle of a frame");
  }
}

Awaitable<Value> ChannelConnection::receive() {
  // The buffer is kept between frames: batches arrive at a steady size.
  co_await _read_frame(_in);
  Value value = pickle::loads(_in);
  if (_in.capacity() > read_chunk_bytes) std::string().swap(_in);
  co_return value;
}

Awaitable<std::string_view> ChannelConnection::receive_frame() {
  // The previous frame is done with: a huge one does not pin its buffer for the next.
  if (_in.capacity() > read_chunk_bytes) std::string().swap(_in);
  co_await _read_frame(_in);
  co_return std::string_view(_in);
}

void ChannelConnection::close() noexcept { close_socket(_socket); }

// --- ChannelListener ---------------------------------------------------------------------------

// Shared with the accept task and the handshake checks, which may outlive the listener object.
struct ChannelListener::State {
  State(asio::io_context& io, Logger log) : acceptor(io), logger(std::move(log)) {}
  asio::ip::tcp::acceptor acceptor;
  Logger logger;
  std::string host;
  std::uint16_t port = 0;
  std::string secret;
  std::string expected;  // the handshake frame that carries `secret`
  bool closed = false;
  Task<std::shared_ptr<ChannelConnection>> accept_task;
  // Connections whose handshake is still awaited, oldest first, and the one that passed.
  std::list<std::shared_ptr<asio::ip::tcp::socket>> checking;
  std::shared_ptr<ChannelConnection> worker;

  std::string address() const { return host + ":" + std::to_string(port); }
  void close_checking() noexcept {
    for (auto& socket : checking) close_socket(*socket);
    checking.clear();
  }
};

namespace {

// More connections than this waiting for their handshake at once: the oldest is dropped. A worker
// sends its handshake as soon as it connects, so only a connection that stalls is ever the oldest.
constexpr std::size_t max_checking = 16;

std::string peer_of(const asio::ip::tcp::socket& socket) {
  std::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  if (ec) return "an unknown peer";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// Reads the first frame of a new connection and compares it with the handshake. Returns why the
// connection is refused, or nothing when it carried the secret.
Awaitable<std::string> read_handshake(asio::ip::tcp::socket& socket, const std::string& expected) {
  std::array<unsigned char, 4> header{};
  co_await asio::async_read(socket, asio::buffer(header), asio::use_awaitable);
  const std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                             (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  // Every handshake has the same length; no other length is read at all.
  if (size != expected.size() - 4) {
    co_return "its first frame (" + std::to_string(size) + " bytes) is not a handshake";
  }
  std::string body(size, '\0');
  co_await asio::async_read(socket, asio::buffer(body), asio::use_awaitable);
  if (!same_secret(body, std::string_view(expected).substr(4))) co_return "its handshake does not carry the secret";
  co_return std::string();
}

// Checks one connection's handshake while the accept goes on. The winner closes the acceptor,
// which ends the pending accept.
Awaitable<void> check_handshake(std::shared_ptr<ChannelListener::State> state,
                                std::shared_ptr<asio::ip::tcp::socket> socket) {
  const std::string peer = peer_of(*socket);
  auto timed_out = std::make_shared<bool>(false);
  asio::steady_timer timer(socket->get_executor(), ChannelListener::handshake_timeout);
  timer.async_wait([socket, timed_out](const std::error_code& ec) {
    if (ec) return;
    *timed_out = true;
    close_socket(*socket);
  });
  std::string refusal;
  try {
    refusal = co_await read_handshake(*socket, state->expected);
  } catch (const std::system_error& e) {
    if (*timed_out) {
      refusal = "it sent no handshake within " + std::to_string(ChannelListener::handshake_timeout.count()) + " s";
    } else if (!socket->is_open()) {
      co_return;  // the listener was closed, or dropped this check for a newer one
    } else {
      refusal = "it ended before its handshake (" + e.code().message() + ")";
    }
  }
  timer.cancel();
  state->checking.remove(socket);
  if (refusal.empty() && !state->worker && !state->closed) {
    set_nodelay(*socket);
    state->worker = std::make_shared<ChannelConnection>(std::move(*socket));
    std::error_code ignored;
    state->acceptor.close(ignored);  // exactly one connection per listener; wakes the accept
    co_return;
  }
  if (refusal.empty()) refusal = "the listener already has its worker";
  state->logger->warn("Refused a connection to the worker channel " + state->address() + " from " + peer + ": " +
                      refusal);
  if (socket->is_open()) {
    // Best effort, without waiting: a peer that reads nothing only misses the reason.
    const std::string frame = [] {
      std::string f(4, '\0');
      pickle::dump_into(f, Value(std::string(handshake_refused_text)));
      put_length(f.data(), f.size() - 4);
      return f;
    }();
    std::error_code ignored;
    socket->non_blocking(true, ignored);
    socket->write_some(asio::buffer(frame), ignored);
    close_socket(*socket);
  }
}

}  // namespace

ChannelListener::ChannelListener(Logger logger)
    : _state(std::make_shared<State>(EventLoop::running().context(),
                                     logger ? std::move(logger) : named_logger("vesk.lib.channel"))) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  auto& acceptor = _state->acceptor;
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  // Listening now lets a worker that connects before the accept runs wait in the backlog.
  acceptor.listen(static_cast<int>(max_checking));
  const auto bound = acceptor.local_endpoint();
  _state->host = bound.address().to_string();
  _state->port = bound.port();
  _state->secret = make_worker_secret();
  _state->expected = handshake_frame(_state->secret);
}

ChannelListener::~ChannelListener() { close(); }

std::string ChannelListener::host() const { return _state->host; }

std::uint16_t ChannelListener::port() const { return _state->port; }

const std::string& ChannelListener::secret() const { return _state->secret; }

Task<std::shared_ptr<ChannelConnection>> ChannelListener::accept() {
  if (_state->accept_task) return _state->accept_task;
  auto body = [](std::shared_ptr<State> state) -> Awaitable<std::shared_ptr<ChannelConnection>> {
    auto executor = state->acceptor.get_executor();
    while (!state->worker) {
      if (state->closed) throw ChannelError("the worker channel listener was closed before the worker connected");
      auto socket = std::make_shared<asio::ip::tcp::socket>(executor);
      try {
        co_await state->acceptor.async_accept(*socket, asio::use_awaitable);
      } catch (const std::system_error&) {
        if (state->worker) break;
        // Closing the listener aborts the accept; that is a failure, not a cancellation.
        if (state->closed) throw ChannelError("the worker channel listener was closed before the worker connected");
        state->close_checking();
        throw;
      }
      if (state->checking.size() >= max_checking) {
        auto& oldest = *state->checking.front();
        state->logger->warn("Refused a connection to the worker channel " + state->address() + " from " +
                            peer_of(oldest) + ": " + std::to_string(max_checking) +
                            " newer connections came before its handshake");
        close_socket(oldest);
        state->checking.pop_front();
      }
      state->checking.push_back(socket);
      asio::co_spawn(executor, check_handshake(state, socket), asio::detached);
    }
    state->close_checking();
    co_return state->worker;
  };
  _state->accept_task = Task<std::shared_ptr<ChannelConnection>>::create(body(_state));
  return _state->accept_task;
}

void ChannelListener::close() noexcept {
  _state->closed = true;
  std::error_code ignored;
  _state->acceptor.close(ignored);
  _state->close_checking();
}

}  // namespace vesk

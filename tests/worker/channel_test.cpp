// The worker channel: framing, the shared accept, closing, and message batches.

#include "vesk/channel/channel.hpp"
#include "vesk/channel/handshake.hpp"

#include "log_capture.hpp"
#include "protocol_values.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/pickle/pickle.hpp"

#include <asio/connect.hpp>
#include <asio/ip/address_v4.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <gmock/gmock.h>
#include "loop_driver.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using namespace vesk;
using namespace vesk::testing;
namespace wp = vesk::worker_protocol;

// A raw client socket, for writing bytes no well-behaved end would send. It has sent the
// handshake with `secret` (the listener's own unless given) and nothing else.
Awaitable<asio::ip::tcp::socket> raw_connect(const ChannelListener& listener, std::optional<std::string> secret = {}) {
  asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
  co_await socket.async_connect({asio::ip::address_v4::loopback(), listener.port()}, asio::use_awaitable);
  const std::string frame = vesk::handshake_frame(secret.value_or(listener.secret()));
  co_await asio::async_write(socket, asio::buffer(frame), asio::use_awaitable);
  co_return socket;
}

// A message as a batch carries it: (key bytes or None, value bytes, timestamp, offset).
Value as_value(const Message& m) {
  return Value::tuple(
      {m.key ? Value::bytes(*m.key) : Value(), Value::bytes(m.value), Value(m.timestamp), Value(m.offset)});
}

template <class E>
Awaitable<std::string> receive_error(ChannelConnection& conn) {
  try {
    co_await conn.receive();
  } catch (const E& e) {
    co_return e.what();
  }
  co_return "no error";
}

TEST(Channel, ValuesArriveWholeAndInOrderBothWays) {
  run_bounded([]() -> Awaitable<void> {
    ChannelListener listener;
    EXPECT_EQ(listener.host(), "127.0.0.1");
    EXPECT_NE(listener.port(), 0);
    auto accepted = listener.accept();
    auto worker = co_await ChannelConnection::connect(listener.host(), listener.port(), listener.secret());
    auto consumer = co_await accepted.wait();

    const Value map(Dict{{Value("k"), Value(List{Value(1), Value(2.5), Value()})}});
    // Over the 16 MiB piece size in which frames are read.
    const Value big = Value::bytes(std::string(20u << 20, 'z'));
    // The big frame does not fit in the socket buffers: the worker end reads meanwhile.
    auto reader = vesk::Task<List>::create([](std::shared_ptr<ChannelConnection> c) -> Awaitable<List> {
      List got;
      for (int i = 0; i < 3; ++i) got.push_back(co_await c->receive());
      co_return got;
    }(worker));
    co_await consumer->send(map);
    co_await consumer->send_encoded(vesk::pickle::dumps(collect_request));
    co_await consumer->send(big);
    const List got = co_await reader.wait();
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(got.at(0), map);
    EXPECT_EQ(got.at(1), collect_request);
    EXPECT_TRUE(got.at(2) == big);
    co_await worker->send(drained);
    EXPECT_EQ(co_await consumer->receive_encoded(), vesk::pickle::dumps(drained));
    co_await worker->send_with(wp::Drained::encode);
    EXPECT_EQ(co_await consumer->receive_frame(), vesk::pickle::dumps(drained));
  });
}

TEST(Channel, TheAcceptIsOneTaskSharedByItsAwaiters) {
  run_bounded([]() -> Awaitable<void> {
    ChannelListener listener;
    auto first = listener.accept();
    auto again = listener.accept();
    EXPECT_EQ(first.core_ptr(), again.core_ptr());
    auto worker = co_await ChannelConnection::connect(listener.host(), listener.port(), listener.secret());
    auto a = co_await first.wait();
    auto b = co_await again.wait();
    EXPECT_EQ(a, b);
    // One connection per listener: a second client finds nobody listening.
    std::string error = "no error";
    try {
      co_await ChannelConnection::connect(listener.host(), listener.port(), listener.secret());
    } catch (const vesk::ChannelError& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr("cannot connect the worker channel to 127.0.0.1:" + std::to_string(listener.port())));
  });
}

TEST(Channel, ClosingTheListenerFailsAPendingAccept) {
  run_bounded([]() -> Awaitable<void> {
    ChannelListener listener;
    auto accepted = listener.accept();
    co_await vesk::sleep(10ms);  // the accept is under way
    listener.close();
    std::string error = "no error";
    try {
      co_await accepted.wait();
    } catch (const vesk::ChannelError& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr("closed before the worker connected"));
    EXPECT_TRUE(accepted.failed());  // a failure, not a cancellation

    ChannelListener closed_first;
    closed_first.close();
    auto never = closed_first.accept();
    bool failed = false;
    try {
      co_await never.wait();
    } catch (const vesk::ChannelError&) {
      failed = true;
    }
    EXPECT_TRUE(failed);
  });
}

TEST(Channel, ThePeerGoingAwayIsAnEndOfStreamError) {
  run_bounded([]() -> Awaitable<void> {
    ChannelListener listener;
    auto accepted = listener.accept();
    auto worker = co_await ChannelConnection::connect(listener.host(), listener.port(), listener.secret());
    auto consumer = co_await accepted.wait();
    worker->close();
    EXPECT_THAT(co_await receive_error<vesk::ChannelClosedError>(*consumer), HasSubstr("closed by the other end"));

    ChannelListener second;
    auto accepted2 = second.accept();
    auto raw = co_await raw_connect(second);
    auto conn = co_await accepted2.wait();
    const char partial[] = {0, 0, 0, 100, 'x', 'y'};
    co_await asio::async_write(raw, asio::buffer(partial, sizeof partial), asio::use_awaitable);
    raw.close();
    EXPECT_THAT(co_await receive_error<vesk::ChannelClosedError>(*conn), HasSubstr("in the middle of a frame"));
  });
}

TEST(Channel, AnAbsurdFrameLengthIsRefused) {
  run_bounded([]() -> Awaitable<void> {
    ChannelListener listener;
    auto accepted = listener.accept();
    auto raw = co_await raw_connect(listener);
    auto conn = co_await accepted.wait();
    const unsigned char header[] = {0xff, 0xff, 0xff, 0xff};
    co_await asio::async_write(raw, asio::buffer(header, sizeof header), asio::use_awaitable);
    EXPECT_THAT(co_await receive_error<vesk::ChannelError>(*conn), HasSubstr("over the limit of 2147483648 bytes"));
  });
}

// What a refused peer reads: the refusal, then the end of the stream.
Awaitable<std::string> read_refusal(asio::ip::tcp::socket& socket) {
  std::string got(64, '\0');
  std::size_t have = 0;
  try {
    for (;;)
      have += co_await socket.async_read_some(asio::buffer(got.data() + have, got.size() - have), asio::use_awaitable);
  } catch (const std::system_error&) {
  }
  got.resize(have);
  co_return have > 4 ? vesk::pickle::loads(got.substr(4)).as_text() : "nothing";
}

TEST(Channel, OnlyTheListenersSecretTakesTheChannelAndOthersAreRefusedMeanwhile) {
  vesk::testing::LogCapture log;
  run_bounded([&log]() -> Awaitable<void> {
    ChannelListener listener(log.logger());
    ChannelListener other;
    EXPECT_EQ(listener.secret().size(), 64u);
    EXPECT_NE(listener.secret(), other.secret());
    auto accepted = listener.accept();
    // A connection that sends nothing holds up nobody.
    asio::ip::tcp::socket silent(co_await asio::this_coro::executor);
    co_await silent.async_connect({asio::ip::address_v4::loopback(), listener.port()}, asio::use_awaitable);
    auto replayed = co_await raw_connect(listener, other.secret());
    auto short_secret = co_await raw_connect(listener, "0123");
    EXPECT_EQ(co_await read_refusal(replayed), "handshake refused");
    EXPECT_EQ(co_await read_refusal(short_secret), "handshake refused");
    EXPECT_FALSE(accepted.done());

    auto worker = co_await ChannelConnection::connect(listener.host(), listener.port(), listener.secret());
    auto consumer = co_await accepted.wait();
    co_await consumer->send(Value(Dict{}));
    EXPECT_EQ(co_await worker->receive(), Value(Dict{}));
    // The silent connection is dropped once the worker is in.
    EXPECT_EQ(co_await read_refusal(silent), "nothing");
    const std::string prefix = "Refused a connection to the worker channel 127.0.0.1:" +
                               std::to_string(listener.port());
    EXPECT_THAT(log.texts(spdlog::level::warn),
                ::testing::ElementsAre(::testing::AllOf(::testing::StartsWith(prefix),
                                                        HasSubstr("its handshake does not carry the secret")),
                                       HasSubstr("is not a handshake")));
    std::string error = "no error";
    try {
      co_await ChannelConnection::connect(listener.host(), listener.port(), "");
    } catch (const vesk::ChannelError& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr("VESK_WORKER_SECRET is not set"));
  });
}

TEST(Channel, BatchesAreEncodedStraightFromTheMessages) {
  const std::vector<Message> messages{{"k\xff", std::string("v\0w", 3), 17, 4}, {std::nullopt, "", -1, 5}};
  List expected;
  for (const auto& m : messages) expected.push_back(as_value(m));
  EXPECT_EQ(expected[0],
            Value::tuple({Value::bytes("k\xff"), Value::bytes(std::string("v\0w", 3)), Value(17), Value(4)}));
  EXPECT_EQ(expected[1], Value::tuple({Value(), Value::bytes(""), Value(-1), Value(5)}));

  std::string encoded;
  wp::MessageBatch::encode(encoded, messages);
  const Value decoded = vesk::pickle::loads(encoded);
  EXPECT_EQ(decoded, Value(expected));
  std::string from_pointers;
  wp::MessageBatch::encode(from_pointers, std::vector<const Message*>{&messages[1]});
  EXPECT_EQ(vesk::pickle::loads(from_pointers), Value(List{expected[1]}));
}

TEST(Channel, BatchesDecodeStraightIntoMessagesAndOtherPicklesFallBack) {
  // Across slices of 1000, every key and value size class and integers of every width.
  std::vector<Message> messages;
  const std::int64_t ints[] = {
      0, 255, 256, 65535, 65536, -1, INT32_MIN, INT32_MAX, std::int64_t{1} << 40, INT64_MIN, INT64_MAX, -129, 128};
  for (int i = 0; i < 2500; ++i) {
    std::optional<std::string> key;
    if (i % 7 != 0) key = "key-" + std::to_string(i);
    std::string value(static_cast<std::size_t>(i % 3 == 0 ? 300 : i % 50), static_cast<char>(i));
    messages.push_back(Message{key, value, ints[i % 13], ints[(i + 5) % 13]});
  }
  for (std::size_t n : {std::size_t{2500}, std::size_t{1000}, std::size_t{1}, std::size_t{0}}) {
    std::vector<Message> batch(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(n));
    std::string encoded;
    wp::MessageBatch::encode(encoded, batch);
    // The general decoder reads the same batch: the layout is ordinary pickle.
    List expected;
    for (const auto& m : batch) expected.push_back(as_value(m));
    ASSERT_EQ(vesk::pickle::loads(encoded), Value(expected)) << n;
    // Decoding reuses what `out` holds from a larger batch before.
    std::vector<Message> out(3000, Message{"stale", "stale", 1, 1});
    ASSERT_TRUE(wp::MessageBatch::decode(encoded, out)) << n;
    EXPECT_EQ(out, batch) << n;

    // Every truncation and a byte flip at every position end in false or in a batch, never in
    // a read out of bounds (the sanitizer build checks).
    if (n == 1) {
      for (std::size_t cut = 0; cut < encoded.size(); ++cut) {
        EXPECT_FALSE(wp::MessageBatch::decode(std::string_view(encoded).substr(0, cut), out)) << cut;
      }
      for (std::size_t at = 0; at < encoded.size(); ++at) {
        std::string flipped = encoded;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
        (void)wp::MessageBatch::decode(flipped, out);
      }
    }
  }
  // Other values and other layouts of the same list are left to the general decoder.
  std::vector<Message> out;
  EXPECT_FALSE(wp::MessageBatch::decode(vesk::pickle::dumps(collect_request), out));
  EXPECT_FALSE(wp::MessageBatch::decode(vesk::pickle::dumps(Value(List{Value(1), Value(2)})), out));
  EXPECT_FALSE(wp::MessageBatch::decode(
      vesk::pickle::dumps(Value(List{Value::tuple({Value::bytes("k"), Value::bytes("v"), Value(1), Value(2)})})), out));
}

}  // namespace

// vesk-kafka-mock: librdkafka's mock cluster as a process of its own, so that several vesk-run
// hosts can share one consumer group on one machine. Prints the bootstrap address on standard
// output and serves until SIGTERM or SIGINT.
//
// The mock brokers listen on ports of their own choosing. With --port, a relay on that port
// passes bootstrap connections on to the broker; clients then reach the broker at the address
// its metadata names, as they do on any cluster.

#include "cli_support.hpp"
#include "vesk/embedded_kafka/embedded_kafka.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <array>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

using asio::ip::tcp;

// Copies one direction of a relayed connection until either side ends; then closes both.
asio::awaitable<void> pipe(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
  std::array<char, 16384> buffer;
  try {
    for (;;) {
      std::size_t n = co_await from->async_read_some(asio::buffer(buffer), asio::use_awaitable);
      co_await asio::async_write(*to, asio::buffer(buffer.data(), n), asio::use_awaitable);
    }
  } catch (const std::exception&) {
  }
  asio::error_code ignored;
  from->close(ignored);
  to->close(ignored);
}

asio::awaitable<void> relay(tcp::acceptor& acceptor, tcp::endpoint broker) {
  for (;;) {
    auto client = std::make_shared<tcp::socket>(co_await acceptor.async_accept(asio::use_awaitable));
    auto upstream = std::make_shared<tcp::socket>(acceptor.get_executor());
    try {
      co_await upstream->async_connect(broker, asio::use_awaitable);
    } catch (const std::exception& e) {
      std::cerr << "vesk-kafka-mock: cannot reach the broker at " << broker << ": " << e.what() << "\n";
      continue;
    }
    asio::co_spawn(acceptor.get_executor(), pipe(client, upstream), asio::detached);
    asio::co_spawn(acceptor.get_executor(), pipe(upstream, client), asio::detached);
  }
}

tcp::endpoint endpoint_of(const std::string& bootstrap) {
  // The mock cluster names its first broker "127.0.0.1:PORT" (several are comma-separated).
  const std::string first = bootstrap.substr(0, bootstrap.find(','));
  const auto colon = first.rfind(':');
  return {asio::ip::make_address(first.substr(0, colon)),
          static_cast<unsigned short>(std::stoi(first.substr(colon + 1)))};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Serves librdkafka's mock Kafka cluster with one topic and prints its bootstrap address.",
               "vesk-kafka-mock");
  app.footer(
      "SIGTERM and SIGINT stop it. The cluster keeps about 5 MiB per partition; older offsets read as out of range.");
  int partitions = 1;
  std::string topic;
  std::optional<int> port;
  app.add_option("--partitions", partitions, "Partitions of the topic")
      ->type_name("N")
      ->required()
      ->check(vesk::cli::needs("needs a whole number from 1 to 10000",
                               [](const std::string& t) { return vesk::cli::whole_number_in(t, 1, 10000); }));
  app.add_option("--topic", topic, "The topic to create")
      ->type_name("NAME")
      ->required()
      ->check(vesk::cli::needs("needs a value", [](const std::string& t) { return !t.empty(); }));
  app.add_option("--port", port, "Take bootstrap connections on this port of 127.0.0.1 (default: the broker's own)")
      ->type_name("PORT")
      ->check(vesk::cli::needs("needs a port number from 1 to 65535",
                               [](const std::string& t) { return vesk::cli::whole_number_in(t, 1, 65535); }));
  vesk::cli::setup(app);
  if (auto status = vesk::cli::parse(app, argc, argv)) return *status;

  try {
    asio::io_context io;
    // Signals first, so that one arriving during start-up still stops the cluster cleanly.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    vesk::VeskEmbeddedKafka kafka;
    kafka.create_topic(topic, partitions);
    std::string bootstrap = kafka.bootstrap_servers();
    std::optional<tcp::acceptor> acceptor;
    if (port) {
      try {
        acceptor.emplace(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(*port)));
      } catch (const std::exception& e) {
        std::cerr << "vesk-kafka-mock: cannot listen on port " << *port << ": " << e.what() << "\n";
        return 1;
      }
      asio::co_spawn(io, relay(*acceptor, endpoint_of(bootstrap)), asio::detached);
      bootstrap = "127.0.0.1:" + std::to_string(*port);
    }
    int received = 0;
    signals.async_wait([&](const asio::error_code& error, int signal) {
      if (!error) received = signal;
      io.stop();
    });
    std::cout << bootstrap << std::endl;
    std::cerr << "vesk-kafka-mock: topic " << topic << " with " << partitions << " partitions at " << bootstrap
              << std::endl;
    io.run();
    std::cerr << "vesk-kafka-mock: signal " << received << " received, stopping" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "vesk-kafka-mock: " << e.what() << "\n";
    return 1;
  }
}

// vesk-run: runs a handler module as a stream processor.
//
//   vesk-run --handler PATH [--workers N] [--checkpoint-interval SECONDS] [--state-dir DIR]
//            [--embedded-kafka PARTITIONS] [--produce FILE] [--run-for SECONDS]
//
// Kafka settings come from the environment (KAFKA_BOOTSTRAP_SERVERS, KAFKA_GROUP_ID, KAFKA_TOPIC,
// ...). State goes to blob storage when AZURE_STORAGE_CONNECTION_STRING is set, otherwise to a
// local directory. SIGINT and SIGTERM stop the engine and the source cleanly.

#include "embedded_kafka/embedded_kafka.hpp"
#include "loop/event_loop.hpp"
#include "loop/logging.hpp"
#include "stream_handler/handler_registry.hpp"
#include "stream_handler/stream_handler.hpp"
#include "vesk/vesk.hpp"
#include "vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <asio/signal_set.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A mistake in how the program was called or configured: one line, exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr const char* kUsage =
    "usage: vesk-run --handler PATH [--workers N] [--checkpoint-interval SECONDS] [--state-dir DIR]\n"
    "                [--embedded-kafka PARTITIONS] [--produce FILE] [--run-for SECONDS]";

struct Options {
  std::string handler;
  int workers = 2;
  double checkpoint_interval = 30.0;
  std::string state_dir = "./vesk-state";
  std::optional<int> embedded_partitions;
  std::optional<std::string> produce_file;
  std::optional<double> run_for;
};

int parse_positive_int(const std::string& flag, const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1) {
    throw UsageError(flag + " needs a whole number of at least 1, got '" + text + "'");
  }
  return value;
}

double parse_positive_seconds(const std::string& flag, const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value > 0) || value > 1e9) {
    throw UsageError(flag + " needs a number of seconds above 0, got '" + text + "'");
  }
  return value;
}

Options parse(int argc, char** argv) {
  Options o;
  bool have_handler = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "-h" || flag == "--help") {
      std::cout << kUsage << "\n";
      std::exit(0);
    }
    if (i + 1 >= argc) throw UsageError(flag.rfind("--", 0) == 0 ? flag + " needs a value" : "unexpected argument '" + flag + "'");
    std::string value = argv[++i];
    if (flag == "--handler") {
      o.handler = value;
      have_handler = true;
    } else if (flag == "--workers") {
      o.workers = parse_positive_int(flag, value);
    } else if (flag == "--checkpoint-interval") {
      o.checkpoint_interval = parse_positive_seconds(flag, value);
    } else if (flag == "--state-dir") {
      if (value.empty()) throw UsageError("--state-dir needs a directory");
      o.state_dir = value;
    } else if (flag == "--embedded-kafka") {
      o.embedded_partitions = parse_positive_int(flag, value);
    } else if (flag == "--produce") {
      o.produce_file = value;
    } else if (flag == "--run-for") {
      o.run_for = parse_positive_seconds(flag, value);
    } else {
      throw UsageError("unknown option '" + flag + "'");
    }
  }
  if (!have_handler || o.handler.empty()) throw UsageError("--handler PATH is required (e.g. examples.counting.KeyCounter)");
  if (o.produce_file && !o.embedded_partitions) throw UsageError("--produce needs --embedded-kafka");
  return o;
}

// The words of a text: runs of letters and digits, lowercased.
std::vector<std::string> words_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the file to produce: " + path);
  std::vector<std::string> words;
  std::string word;
  char c;
  while (in.get(c)) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) && u < 0x80) {
      word.push_back(static_cast<char>(std::tolower(u)));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

void set_default_env(const char* name, const std::string& value) {
  const char* current = std::getenv(name);
  if (current == nullptr || *current == '\0') ::setenv(name, value.c_str(), 1);
}

std::shared_ptr<vesk::VeskFileBackend> make_backend(const Options& o, const vesk::Logger& logger) {
  const char* connection = std::getenv("AZURE_STORAGE_CONNECTION_STRING");
  if (connection != nullptr && *connection != '\0') {
    const char* container = std::getenv("AZURE_STORAGE_CONTAINER_NAME");
    if (container == nullptr || *container == '\0') {
      throw UsageError("AZURE_STORAGE_CONTAINER_NAME must be set when AZURE_STORAGE_CONNECTION_STRING is");
    }
    logger->info("State in blob container " + std::string(container));
    return vesk::VeskAzureBlobBackend::from_env(logger);
  }
  logger->info("State in directory " + o.state_dir);
  return std::make_shared<vesk::VeskLocalFileBackend>(o.state_dir, "");
}

// Runs until a signal arrives or --run-for passes, then stops the engine and the source.
vesk::Awaitable<void> serve(vesk::Vesk& engine, vesk::VeskFeed& feed, std::optional<double> run_for,
                            vesk::Logger logger) {
  auto& loop = vesk::EventLoop::running();
  asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  auto stopping = vesk::Task<int>::create([](asio::signal_set& signals) -> vesk::Awaitable<int> {
    co_return co_await signals.async_wait(asio::use_awaitable);
  }(signals));
  std::optional<vesk::Task<void>> timer;
  if (run_for) {
    timer = vesk::Task<void>::create(vesk::sleep(std::chrono::duration<double>(*run_for)));
  }
  engine.start();
  if (timer) {
    co_await vesk::wait_any(stopping, *timer);
  } else {
    co_await vesk::wait_any(stopping);
  }
  if (stopping.done() && !stopping.failed() && !stopping.cancelled()) {
    logger->info("Signal " + std::to_string(stopping.result()) + " received, stopping");
  } else {
    logger->info("Run time over, stopping");
  }
  signals.cancel();
  if (timer) timer->cancel();
  co_await engine.stop();
  co_await feed.stop();
  logger->info("Stopped");
}

}  // namespace

int main(int argc, char** argv) {
  auto logger = std::make_shared<spdlog::logger>("vesk", std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  try {
    Options o = parse(argc, argv);

    std::optional<vesk::VeskEmbeddedKafka> kafka;
    if (o.embedded_partitions) {
      kafka.emplace();
      set_default_env("KAFKA_TOPIC", "vesk-demo");
      set_default_env("KAFKA_GROUP_ID", "vesk-run");
      ::setenv("KAFKA_BOOTSTRAP_SERVERS", kafka->bootstrap_servers().c_str(), 1);
      kafka->create_topic(std::getenv("KAFKA_TOPIC"), *o.embedded_partitions);
      logger->info("Embedded Kafka at " + kafka->bootstrap_servers() + ", topic " + std::getenv("KAFKA_TOPIC") +
                   " with " + std::to_string(*o.embedded_partitions) + " partitions");
      if (o.produce_file) {
        auto words = words_of(*o.produce_file);
        for (const auto& w : words) kafka->produce(std::getenv("KAFKA_TOPIC"), -1, w, w);
        kafka->flush();
        logger->info("Produced " + std::to_string(words.size()) + " messages from " + *o.produce_file);
      }
    }

    std::shared_ptr<vesk::StreamHandlerBase> handler;
    try {
      handler = vesk::create_stream_handler(o.handler);
    } catch (const vesk::HandlerLookupError& e) {
      throw UsageError(std::string("cannot load the handler: ") + e.what());
    }
    std::shared_ptr<vesk::VeskFeed> feed;
    try {
      feed = vesk::VeskKafkaFeed::from_env(logger);
    } catch (const vesk::ValueError& e) {
      throw UsageError(e.what());
    }
    auto backend = make_backend(o, logger);

    vesk::EventLoop loop;
    vesk::Vesk engine(logger, backend, o.workers, std::chrono::duration<double>(o.checkpoint_interval));
    engine.source(feed).process(handler);
    loop.run_until_complete(serve(engine, *feed, o.run_for, logger));
    return 0;
  } catch (const UsageError& e) {
    std::cerr << "vesk-run: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "vesk-run: " << e.what() << "\n";
    return 1;
  }
}

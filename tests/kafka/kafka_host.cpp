// A host application for the scale-out test: the engine with examples.counting.OffsetLog reading
// one topic through VeskKafkaFeed into state files under a shared directory, until SIGTERM.
// Usage: kafka_host BOOTSTRAP TOPIC GROUP STATE_DIR LOG_FILE
#include "vesk/vesk.hpp"
#include "vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <spdlog/sinks/basic_file_sink.h>

#include <csignal>
#include <cstdio>

using namespace std::chrono_literals;

namespace {
volatile std::sig_atomic_t stop_requested = 0;
void on_term(int) { stop_requested = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: kafka_host BOOTSTRAP TOPIC GROUP STATE_DIR LOG_FILE\n");
    return 2;
  }
  std::signal(SIGTERM, on_term);
  auto logger = std::make_shared<spdlog::logger>("host", std::make_shared<spdlog::sinks::basic_file_sink_mt>(argv[5]));
  logger->flush_on(spdlog::level::info);
  try {
    vesk::EventLoop loop;
    auto feed = std::make_shared<vesk::VeskKafkaFeed>(argv[1], argv[3], argv[2], "", "", "", "", logger,
                                                      vesk::VeskKafkaFeed::ExtraProperties{{"session.timeout.ms", "6000"}});
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(argv[4]);
    auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.OffsetLog"));
    auto body = [&]() -> vesk::Awaitable<void> {
      vesk::Vesk engine(logger, backend, 2, 200ms);
      engine.source(feed).process(handler);
      engine.start();
      while (!stop_requested) co_await vesk::sleep(20ms);
      co_await engine.stop();
      co_await feed->stop();
    };
    loop.run_until_complete(body());
  } catch (const std::exception& e) {
    logger->error(std::string("kafka_host: ") + e.what());
    return 1;
  }
  return 0;
}

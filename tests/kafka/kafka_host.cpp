// A host application for the multi-host tests: the engine with examples.counting.OffsetLog reading
// one topic through VeskKafkaFeed into state files under a shared directory, until SIGTERM.
// Usage: kafka_host BOOTSTRAP TOPIC GROUP STATE_DIR LOG_FILE [PROPERTY=VALUE ...]
// The properties are further Kafka client properties (session.timeout.ms is 6000 unless given).
// VESK_TEST_CHECKPOINT_MS sets the checkpoint interval (default 200); VESK_TEST_SAVE_DELAY_MS
// holds every checkpoint's save that long on a blocking thread before it is written, as a large
// state's save would.
#include "vesk/loop/task.hpp"
#include "vesk/vesk.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <spdlog/sinks/basic_file_sink.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {
volatile std::sig_atomic_t stop_requested = 0;
void on_term(int) { stop_requested = 1; }

std::chrono::milliseconds env_ms(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return std::chrono::milliseconds(text != nullptr && *text != '\0' ? std::atol(text) : fallback);
}

class SlowSaveBackend : public vesk::VeskLocalFileBackend {
 public:
  SlowSaveBackend(std::string root, std::chrono::milliseconds delay) : VeskLocalFileBackend(root), _delay(delay) {}
  vesk::Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                               std::optional<std::string> expected_tag) override {
    auto hold = [delay = _delay]() { std::this_thread::sleep_for(delay); };
    co_await vesk::run_blocking(std::move(hold));
    auto write = VeskLocalFileBackend::set_file_contents_if_async(std::move(file_path), std::move(content),
                                                                  std::move(expected_tag));
    co_return co_await std::move(write);
  }

 private:
  std::chrono::milliseconds _delay;
};
}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: kafka_host BOOTSTRAP TOPIC GROUP STATE_DIR LOG_FILE [PROPERTY=VALUE ...]\n");
    return 2;
  }
  std::signal(SIGTERM, on_term);
  auto logger = std::make_shared<spdlog::logger>("host", std::make_shared<spdlog::sinks::basic_file_sink_mt>(argv[5]));
  logger->flush_on(spdlog::level::info);
  try {
    vesk::EventLoop loop;
    vesk::VeskKafkaFeed::ExtraProperties properties{{"session.timeout.ms", "6000"}};
    for (int i = 6; i < argc; ++i) {
      const std::string property = argv[i];
      const auto equals = property.find('=');
      properties[property.substr(0, equals)] = property.substr(equals + 1);
    }
    auto feed = std::make_shared<vesk::VeskKafkaFeed>(argv[1], argv[3], argv[2], "", "", "", "", logger, properties);
    const auto save_delay = env_ms("VESK_TEST_SAVE_DELAY_MS", 0);
    std::shared_ptr<vesk::VeskFileBackend> backend;
    if (save_delay.count() > 0) {
      backend = std::make_shared<SlowSaveBackend>(argv[4], save_delay);
    } else {
      backend = std::make_shared<vesk::VeskLocalFileBackend>(argv[4]);
    }
    auto handler = std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.OffsetLog"));
    auto body = [&]() -> vesk::Awaitable<void> {
      vesk::Vesk engine(logger, backend, 2, env_ms("VESK_TEST_CHECKPOINT_MS", 200));
      engine.source(feed).process(handler);
      engine.start();
      while (!stop_requested) co_await vesk::sleep(20ms);
      co_await engine.stop();
      co_await feed->stop();
      logger->info("Stopped");
    };
    loop.run_until_complete(body());
  } catch (const std::exception& e) {
    logger->error(std::string("kafka_host: ") + e.what());
    return 1;
  }
  return 0;
}

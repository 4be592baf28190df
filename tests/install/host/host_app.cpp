// Runs the engine on an in-memory source until the stored state holds every message, then
// checks the totals. Exit code 0 when they are exact.
#include <vesk/stream_handler/handler_registry.hpp>
#include <vesk/vesk.hpp>
#include <vesk/vesk_local_file_backend/vesk_local_file_backend.hpp>
#include <vesk/vesk_memory_feed/vesk_memory_feed.hpp>

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto logger = vesk::named_logger("host");
  vesk::EventLoop loop;
  auto feed = std::make_shared<vesk::VeskMemoryFeed>(logger, 1, std::chrono::milliseconds(50));
  for (int i = 0; i < 300; ++i) feed->produce(0, "k" + std::to_string(i % 3), std::string(i % 7 + 1, 'x'));
  auto storage = std::make_shared<vesk::VeskLocalFileBackend>(argv[1]);
  vesk::VeskStateStore store(storage, logger);
  bool exact = loop.run_until_complete([&]() -> vesk::Awaitable<bool> {
    vesk::Vesk engine(logger, storage, 2, std::chrono::milliseconds(200));
    engine.source(feed).process(vesk::create_stream_handler("host.lengths.TotalLength"));
    engine.start();
    bool done = false;
    for (int attempt = 0; attempt < 100 && !done; ++attempt) {
      co_await vesk::sleep(std::chrono::milliseconds(100));
      auto state = co_await store.get_partition_state(0);
      done = state && state->offset == 300;
    }
    co_await engine.stop();
    co_await feed->stop();
    auto state = co_await store.get_partition_state(0);
    std::int64_t total = 0;
    for (int i = 0; i < 300; ++i) total += i % 7 + 1;
    std::int64_t stored = 0;
    if (state) {
      for (const auto& [key, value] : state->state) stored += value.as_int();
    }
    std::cout << "stored total " << stored << ", expected " << total << "\n";
    co_return done&& stored == total;
  }());
  return exact ? 0 : 1;
}

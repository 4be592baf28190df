// Python handler benchmark: messages per second through one partition with 2 workers, 1,000,000
// messages over 10,000 keys on the memory feed, for a Python KeyCounter (an async def process
// returning (state or 0) + 1) and, in the same run, for the C++ examples.counting.KeyCounter.
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk.hpp"

#include "engine_bench.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>

using namespace std::chrono_literals;
using vesk::Awaitable;

namespace {

using vesk::bench::CheckpointSink;

Awaitable<double> throughput(vesk::Logger logger, std::shared_ptr<CheckpointSink> sink,
                             std::shared_ptr<vesk::VeskFileBackend> backend, const std::string& handler) {
  constexpr int messages = 1'000'000;
  constexpr int keys = 10'000;
  auto feed = std::make_shared<vesk::VeskMemoryFeed>(logger, 1, 100ms);
  std::vector<vesk::Message> batch;
  batch.reserve(messages);
  for (int i = 0; i < messages; ++i) {
    batch.push_back(vesk::Message{"key-" + std::to_string(i % keys), "value-" + std::to_string(i), i, i});
  }
  feed->append(0, std::move(batch));
  vesk::Vesk engine(logger, backend, 2, std::chrono::hours(1));
  engine.source(feed).process(std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler(handler)));
  sink->reset_batches();
  engine.start();
  while (engine._partition_consumers.size() != 1) co_await vesk::sleep(1ms);
  auto consumer = *engine._partition_consumers.find(0);
  while (!(consumer->_state && consumer->_state->offset == messages && consumer->_all_workers_drained)) {
    co_await vesk::sleep(1ms);
  }
  const double elapsed = sink->batch_seconds();
  // A figure only counts when every message was counted.
  co_await consumer->_do_checkpoint();
  for (const auto& [key, count] : consumer->_state->state) {
    if (count != vesk::Value(messages / keys)) throw std::runtime_error(handler + " miscounted " + key.repr());
  }
  if (consumer->_state->state.size() != keys) throw std::runtime_error(handler + " lost keys");
  co_await engine.stop();
  co_return messages / elapsed;
}

}  // namespace

int main() {
  vesk::bench::EngineBench bench("bench_python", VESK_BENCH_HANDLER_DIR, VESK_BENCH_WORKER_PROGRAM);
  ::setenv("PYTHONPATH", VESK_BENCH_PYTHONPATH, 0);
  const auto& directory = bench.directory;
  const auto& sink = bench.sink;
  const auto& logger = bench.logger;
  int status = bench.run([&] {
    vesk::EventLoop loop;
    // Each run starts from no stored state.
    auto run = [&](const std::string& handler) {
      std::filesystem::remove_all(directory);
      auto backend = std::make_shared<vesk::VeskLocalFileBackend>(directory);
      return loop.run_until_complete(throughput(logger, sink, backend, handler));
    };
    double python = run("py:bench_key_counter.KeyCounter");
    double cpp = run("examples.counting.KeyCounter");
    std::printf("python.msgs_per_s_2_workers: %.0f (goal >= 500000)\n", python);
    std::printf("python.cpp_key_counter_msgs_per_s_2_workers: %.0f (the C++ KeyCounter in the same run)\n", cpp);
    loop.run_for(50ms);
  });
  // Warnings, errors and the checkpoint lines, for a run that went wrong.
  if (status != 0) {
    for (const auto& line : sink->lines()) std::fprintf(stderr, "%s\n", line.c_str());
  }
  return status;
}

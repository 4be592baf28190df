// Engine benchmark: messages per second through one partition with 2 and 4 workers running
// examples.counting.KeyCounter, the same with metrics off against metrics on and scraped ten
// times a second, then the checkpoint of 1,000,000 keys (collection and save to
// local files) and the restore of that state into a new consumer.
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk.hpp"

#include "engine_bench.hpp"

#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"
#include "vesk/vesk_metrics_endpoint/vesk_metrics_endpoint.hpp"

#include <httplib.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <ranges>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vesk::Awaitable;
using vesk::Vesk;

namespace {

using vesk::bench::CheckpointSink;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <class Predicate>
Awaitable<void> until(Predicate done) {
  while (!done()) co_await vesk::sleep(1ms);
}

std::shared_ptr<vesk::StreamHandlerBase> key_counter() {
  return std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter"));
}

// CPU seconds used so far by this process and by its children already reaped (the workers).
double cpu_seconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage use{};
    ::getrusage(who, &use);
    total += static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
             static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

struct Run {
  double messages_per_second = 0;
  double cpu_seconds = 0;  // host and workers, from the engine's start until its workers are gone
};

// Messages per second from the first batch distributed to the last one processed.
// With `metrics`, the engine keeps its figures and a thread scrapes /metrics every 100 ms; without,
// it keeps none and serves nothing.
Awaitable<Run> throughput(vesk::Logger logger, std::shared_ptr<CheckpointSink> sink,
                          std::shared_ptr<vesk::VeskFileBackend> backend, int workers, int messages, int keys,
                          bool metrics = true) {
  auto feed = std::make_shared<vesk::VeskMemoryFeed>(logger, 1, 100ms);
  std::vector<vesk::Message> batch;
  batch.reserve(static_cast<std::size_t>(messages));
  for (int i = 0; i < messages; ++i) {
    batch.push_back(vesk::Message{"key-" + std::to_string(i % keys), "value-" + std::to_string(i), i, i});
  }
  feed->append(0, std::move(batch));
  Vesk engine(logger, backend, workers, std::chrono::hours(1));
  engine.set_metrics_enabled(metrics);
  engine.source(feed).process(key_counter());
  std::unique_ptr<vesk::MetricsEndpoint> endpoint;
  std::atomic<bool> scraping{metrics};
  std::atomic<int> scrapes{0};
  std::thread scraper;
  if (metrics) {
    endpoint = vesk::serve_metrics(engine, {"127.0.0.1", 0});
    scraper = std::thread([&scraping, &scrapes, port = endpoint->port()] {
      httplib::Client client("127.0.0.1", port);
      while (scraping) {
        if (auto answer = client.Get("/metrics"); answer && answer->status == 200) ++scrapes;
        std::this_thread::sleep_for(100ms);
      }
    });
  }
  sink->reset_batches();
  const double cpu_start = cpu_seconds();
  engine.start();
  co_await until([&] { return engine._partition_consumers.size() == 1; });
  auto consumer = *engine._partition_consumers.find(0);
  co_await until(
      [&] { return consumer->_state && consumer->_state->offset == messages && consumer->_all_workers_drained; });
  double elapsed = sink->batch_seconds();
  if (metrics) {
    // One more scrape after the run, so that the endpoint is known to have answered.
    co_await until([&] { return scrapes.load() > 0; });
    scraping = false;
    auto join = [&scraper] { scraper.join(); };
    co_await vesk::run_blocking(std::move(join));
    const auto figures = engine.metrics();
    if (figures.partitions.empty() ||
        figures.partitions[0].metrics.messages_processed != static_cast<std::uint64_t>(messages)) {
      throw std::runtime_error("the metrics did not count every message");
    }
  }
  std::vector<pid_t> workers_started;
  for (const auto& worker : consumer->_worker_processes) workers_started.push_back(worker.process->pid());
  co_await engine.stop();
  // A worker's CPU time is counted once it has been reaped, which happens off the loop.
  co_await until([&] {
    return std::all_of(workers_started.begin(), workers_started.end(),
                       [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; });
  });
  co_return Run{messages / elapsed, cpu_seconds() - cpu_start};
}

}  // namespace

int main() {
  vesk::bench::EngineBench bench("bench_engine", VESK_BENCH_HANDLER_DIR, VESK_BENCH_WORKER_PROGRAM);
  const auto& directory = bench.directory;
  const auto& sink = bench.sink;
  const auto& logger = bench.logger;
  std::filesystem::create_directories(directory);
  int status = bench.run([&] {
    vesk::EventLoop loop;
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(directory);
    auto store = std::make_shared<vesk::VeskStateStore>(backend, logger);

    for (int workers : {2, 4}) {
      std::filesystem::remove_all(directory);
      std::filesystem::create_directories(directory);
      double rate =
          loop.run_until_complete(throughput(logger, sink, backend, workers, 1'000'000, 10'000)).messages_per_second;
      std::printf("engine.msgs_per_s_%d_workers: %.0f%s\n", workers, rate, workers == 2 ? " (goal >= 1000000)" : "");
      std::fflush(stdout);
    }

    // Metrics off and on, in turns and in both orders (a run right after another one is not as
    // fast as the next), so that both meet the same load. The cost is taken from the CPU time the
    // host and its workers spend per run: on two cores that is what bounds throughput, and it
    // moves far less than the rate with what else the machine runs. The least of each side, since
    // load only ever adds to it.
    {
      std::vector<Run> off, on;
      for (int round = 0; round < 8; ++round) {
        for (bool metrics : {round % 2 == 1, round % 2 == 0}) {
          std::filesystem::remove_all(directory);
          std::filesystem::create_directories(directory);
          (metrics ? on : off)
              .push_back(loop.run_until_complete(throughput(logger, sink, backend, 2, 2'000'000, 10'000, metrics)));
        }
      }
      auto best = [](const std::vector<Run>& runs, auto figure, auto better) {
        auto values = std::views::transform(runs, figure);
        return *std::ranges::max_element(values, better);
      };
      const double rate_off = best(off, &Run::messages_per_second, std::less<>{});
      const double rate_on = best(on, &Run::messages_per_second, std::less<>{});
      const double cpu_off = best(off, &Run::cpu_seconds, std::greater<>{});
      const double cpu_on = best(on, &Run::cpu_seconds, std::greater<>{});
      // With VESK_BENCH_ROUNDS set, every round's figures go to standard error.
      if (std::getenv("VESK_BENCH_ROUNDS") != nullptr) {
        for (std::size_t i = 0; i < off.size(); ++i) {
          std::fprintf(stderr, "round %zu: off %.0f msg/s %.3f cpu s, on %.0f msg/s %.3f cpu s\n", i,
                       off[i].messages_per_second, off[i].cpu_seconds, on[i].messages_per_second, on[i].cpu_seconds);
        }
      }
      std::printf("engine.msgs_per_s_2_workers_metrics_off: %.0f (best of 8)\n", rate_off);
      std::printf("engine.msgs_per_s_2_workers_metrics_on_scraped: %.0f (best of 8)\n", rate_on);
      std::printf("engine.cpu_s_per_2m_metrics_off: %.3f\n", cpu_off);
      std::printf("engine.cpu_s_per_2m_metrics_on_scraped: %.3f\n", cpu_on);
      std::printf("engine.metrics_cost_percent: %.1f (CPU time; goal <= 3)\n", 100.0 * (cpu_on - cpu_off) / cpu_off);
      std::fflush(stdout);
    }

    // A million distinct keys on two workers, then one checkpoint of them.
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    constexpr int keys = 1'000'000;
    auto feed = std::make_shared<vesk::VeskMemoryFeed>(logger, 1, 100ms);
    {
      std::vector<vesk::Message> batch;
      batch.reserve(keys);
      for (int i = 0; i < keys; ++i) batch.push_back(vesk::Message{"key-" + std::to_string(i), "v", i, i});
      feed->append(0, std::move(batch));
    }
    loop.run_until_complete([](vesk::Logger logger, std::shared_ptr<vesk::VeskMemoryFeed> feed,
                               std::shared_ptr<vesk::VeskStateStore> store) -> Awaitable<void> {
      auto consumer = std::make_shared<Vesk::PartitionConsumer>(0, feed, store, logger, 2, std::chrono::hours(1),
                                                                key_counter());
      co_await until(
          [&] { return consumer->_state && consumer->_state->offset == keys && consumer->_all_workers_drained; });
      co_await consumer->_do_checkpoint();
      consumer->dispose();
    }(logger, feed, store));
    std::smatch m;
    std::string done_line;
    for (const auto& l : sink->lines()) {
      if (l.find("Checkpoint done") != std::string::npos) done_line = l;
    }
    if (!std::regex_search(done_line, m,
                           std::regex(R"(collected in ([0-9.]+)s, saved in ([0-9.]+)s, total: ([0-9.]+)s)"))) {
      throw std::runtime_error("no checkpoint line was logged");
    }
    std::printf("engine.checkpoint_1m_collect_s: %s\n", m[1].str().c_str());
    std::printf("engine.checkpoint_1m_save_s: %s\n", m[2].str().c_str());
    std::printf("engine.checkpoint_1m_total_s: %s (goal < 0.5)\n", m[3].str().c_str());
    std::fflush(stdout);

    // Restore into a new consumer: from its construction until its workers have taken the
    // state and drained the first message after it.
    feed->produce(0, "key-0", "v");
    double restore = loop.run_until_complete([](vesk::Logger logger, std::shared_ptr<vesk::VeskMemoryFeed> feed,
                                                std::shared_ptr<vesk::VeskStateStore> store) -> Awaitable<double> {
      auto start = Clock::now();
      auto consumer = std::make_shared<Vesk::PartitionConsumer>(0, feed, store, logger, 2, std::chrono::hours(1),
                                                                key_counter());
      co_await until(
          [&] { return consumer->_state && consumer->_state->offset == keys + 1 && consumer->_all_workers_drained; });
      double elapsed = seconds_since(start);
      if (consumer->_state->state.size() != static_cast<std::size_t>(keys))
        throw std::runtime_error("restore lost keys");
      consumer->dispose();
      co_return elapsed;
    }(logger, feed, store));
    std::printf("engine.restore_1m_s: %.3f (goal < 0.5)\n", restore);
    loop.run_for(50ms);
  });
  for (const auto& l : sink->lines()) {
    if (l.rfind("[p", 0) != 0) std::fprintf(stderr, "%s\n", l.c_str());
  }
  return status;
}

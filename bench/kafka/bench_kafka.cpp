// Kafka benchmark: one topic of 4 partitions x 45,000 messages of about 100 bytes is produced
// once on an in-process mock cluster (which keeps about 5 MiB per partition), then read
//   (a) with plain librdkafka batch reads, 1000 per call, and
//   (b) through VeskKafkaFeed alone (seek and get_many per partition, as the engine calls them), and
//   (c) by the engine through VeskKafkaFeed, examples.counting.KeyCounter, 2 workers a partition.
// Both rates count from the first message delivered to the last one consumed (b: processed).
#include "mock_cluster.hpp"
#include "vesk_kafka_feed/vesk_kafka_feed.hpp"

#ifdef VESK_BENCH_WITH_ENGINE
#include "vesk/vesk.hpp"
#include "vesk_local_file_backend/vesk_local_file_backend.hpp"
#endif

#include <spdlog/sinks/base_sink.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int partitions = 4;
constexpr int per_partition = 45'000;
constexpr int total = partitions * per_partition;
const char* const topic = "bench";

void produce(vesk::testing::MockKafkaCluster& cluster) {
  cluster.create_topic(topic, partitions);
  const std::string padding(84, 'x');
  for (int i = 0; i < per_partition; ++i) {
    for (int p = 0; p < partitions; ++p) {
      cluster.produce(topic, p, "key-" + std::to_string(i % 1000), padding + std::to_string(i));
    }
  }
  cluster.flush();
}

double plain_rate(const std::string& servers) {
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  for (auto [name, value] : {std::pair<const char*, const char*>{"bootstrap.servers", servers.c_str()},
                             {"group.id", "bench-plain"},
                             {"enable.auto.commit", "false"}}) {
    rd_kafka_conf_set(conf, name, value, errstr, sizeof errstr);
  }
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr);
  if (!rk) throw std::runtime_error(errstr);
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t* list = rd_kafka_topic_partition_list_new(partitions);
  for (int p = 0; p < partitions; ++p) rd_kafka_topic_partition_list_add(list, topic, p)->offset = RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(rk, list);
  rd_kafka_topic_partition_list_destroy(list);
  rd_kafka_queue_t* queue = rd_kafka_queue_get_consumer(rk);

  std::vector<rd_kafka_message_t*> batch(1000);
  long received = 0;
  std::size_t bytes = 0;
  std::optional<Clock::time_point> first;
  const auto give_up = Clock::now() + 60s;
  while (received < total && Clock::now() < give_up) {
    auto n = rd_kafka_consume_batch_queue(queue, 1000, batch.data(), batch.size());
    for (ssize_t i = 0; i < n; ++i) {
      rd_kafka_message_t* m = batch[static_cast<std::size_t>(i)];
      if (!m->err) {
        if (!first) first = Clock::now();
        ++received;
        bytes += m->len + m->key_len;
      }
      rd_kafka_message_destroy(m);
    }
  }
  const double seconds = first ? std::chrono::duration<double>(Clock::now() - *first).count() : 0;
  rd_kafka_queue_destroy(queue);
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  if (received != total) throw std::runtime_error("plain consumption got " + std::to_string(received) + " messages");
  std::fprintf(stderr, "plain: %ld messages, %zu bytes in %.3f s\n", received, bytes, seconds);
  return total / seconds;
}


// The source alone: one reader task per partition doing what a partition consumer does with it
// (seek, then get_many), without workers behind it.
class CountingListener : public vesk::VeskRebalanceListener {
 public:
  void on_partitions_revoked(const std::vector<vesk::PartitionId>&) override {}
  void on_partitions_assigned(const std::vector<vesk::PartitionId>& assigned) override { count += assigned.size(); }
  std::size_t count = 0;
};

vesk::Awaitable<void> read_partition(vesk::VeskKafkaFeed& feed, vesk::PartitionId partition,
                                     std::optional<Clock::time_point>& first) {
  vesk::PartitionState state{partition, 0, {}};
  while (state.offset < per_partition) {
    co_await feed.seek(state);
    auto batch = co_await feed.get_many(partition);
    if (!first) first = Clock::now();
    state.offset = batch.back().offset + 1;
  }
}

vesk::Awaitable<double> feed_run(const std::string& servers) {
  auto listener = std::make_shared<CountingListener>();
  vesk::VeskKafkaFeed feed(servers, "bench-feed", topic, "", "", "", "", vesk::null_logger());
  feed.set_listener(listener);
  co_await feed.start();
  while (listener->count < partitions) co_await vesk::sleep(5ms);
  std::optional<Clock::time_point> first;
  std::vector<vesk::Task<void>> readers;
  for (int p = 0; p < partitions; ++p) readers.push_back(vesk::Task<void>::create(read_partition(feed, p, first)));
  co_await vesk::gather(readers);
  const double seconds = std::chrono::duration<double>(Clock::now() - *first).count();
  co_await feed.stop();
  co_return total / seconds;
}

double feed_rate(const std::string& servers) {
  vesk::EventLoop loop;
  return loop.run_until_complete(feed_run(servers));
}

#ifdef VESK_BENCH_WITH_ENGINE
// Notes the first batch distributed and the last one processed; keeps warnings and errors.
class BatchSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  double batch_seconds() {
    std::lock_guard lock(mutex_);
    if (!_first || !_last) return 0;
    return std::chrono::duration<double>(*_last - *_first).count();
  }
  std::vector<std::string> problems() {
    std::lock_guard lock(mutex_);
    return _problems;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.rfind("Distributing ", 0) == 0) {
      if (!_first) _first = Clock::now();
    } else if (text.rfind("Processed ", 0) == 0) {
      _last = Clock::now();
    } else if (msg.level >= spdlog::level::warn && text.find("CONFWARN") == std::string_view::npos) {
      _problems.emplace_back(text);
    }
  }
  void flush_() override {}

 private:
  std::optional<Clock::time_point> _first;
  std::optional<Clock::time_point> _last;
  std::vector<std::string> _problems;
};

template <class Predicate>
vesk::Awaitable<void> until(Predicate done, std::chrono::seconds limit) {
  const auto give_up = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > give_up) throw std::runtime_error("the engine did not consume every message in time");
    co_await vesk::sleep(1ms);
  }
}

vesk::Awaitable<void> engine_run(std::shared_ptr<vesk::VeskKafkaFeed> feed, std::shared_ptr<vesk::Vesk> engine) {
  engine->start();
  auto all_done = [&] {
    if (engine->_partition_consumers.size() != partitions) return false;
    for (int p = 0; p < partitions; ++p) {
      auto* slot = engine->_partition_consumers.find(p);
      if (!slot) return false;
      const auto& consumer = *slot;
      if (!consumer || !consumer->_state || consumer->_state->offset != per_partition || !consumer->_all_workers_drained) {
        return false;
      }
    }
    return true;
  };
  co_await until(all_done, std::chrono::seconds(120));
  co_await engine->stop();
  co_await feed->stop();
}

double engine_rate(const std::string& servers) {
  ::setenv("VESK_HANDLER_PATH", VESK_BENCH_HANDLER_DIR, 0);
  ::setenv("VESK_WORKER_PROGRAM", VESK_BENCH_WORKER_PROGRAM, 0);
  auto directory = std::filesystem::temp_directory_path() / ("vesk-bench-kafka-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  auto sink = std::make_shared<BatchSink>();
  auto logger = std::make_shared<spdlog::logger>("bench", sink);
  logger->set_level(spdlog::level::info);
  double seconds = 0;
  {
    vesk::EventLoop loop;
    auto feed = std::make_shared<vesk::VeskKafkaFeed>(servers, "bench-engine", topic, "", "", "", "", logger);
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(directory);
    auto engine = std::make_shared<vesk::Vesk>(logger, backend, 2, std::chrono::hours(1));
    engine->source(feed).process(std::shared_ptr<vesk::StreamHandlerBase>(
        vesk::create_stream_handler("examples.counting.KeyCounter")));
    loop.run_until_complete(engine_run(feed, engine));
    seconds = sink->batch_seconds();
    engine.reset();
    loop.run_for(50ms);
  }
  std::filesystem::remove_all(directory);
  for (const auto& line : sink->problems()) std::fprintf(stderr, "engine log: %s\n", line.c_str());
  std::fprintf(stderr, "engine: %d messages in %.3f s\n", total, seconds);
  return total / seconds;
}
#endif

}  // namespace

int main() {
  try {
    vesk::testing::MockKafkaCluster cluster(
        1, {{"linger.ms", "50"}, {"batch.num.messages", "10000"}, {"batch.size", "1000000"},
            {"queue.buffering.max.messages", "1000000"}, {"log_level", "3"}});
    produce(cluster);
    const double plain = plain_rate(cluster.bootstrap_servers());
    std::printf("kafka.plain_msgs_per_s: %.0f\n", plain);
    std::fflush(stdout);
    std::printf("kafka.feed_msgs_per_s: %.0f\n", feed_rate(cluster.bootstrap_servers()));
    std::fflush(stdout);
#ifdef VESK_BENCH_WITH_ENGINE
    const double engine = engine_rate(cluster.bootstrap_servers());
    std::printf("kafka.engine_msgs_per_s: %.0f\n", engine);
    std::printf("kafka.engine_vs_plain: %.0f%% (goal >= 70%%)\n", 100 * engine / plain);
#endif
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_kafka: %s\n", e.what());
    return 1;
  }
  return 0;
}

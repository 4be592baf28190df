// Kafka benchmark on an in-process mock cluster, or on Apache Kafka: VESK_BENCH_KAFKA=real starts
// a cluster with scripts/kafka-cluster (one node, group.initial.rebalance.delay.ms=0), and
// VESK_BENCH_KAFKA=HOST:PORT uses a running one (plaintext; its topics must not yet hold the
// bench-* topics). The producer compresses (lz4, zstd for the million-key topic), so that each
// partition keeps every message it was given: the mock keeps only about 5 MiB per partition.
//
//   throughput  4 partitions x 400,000 messages of about 100 bytes, 1,000 keys: plain librdkafka
//               batch reads from the consumer queue (1000 per call), VeskKafkaFeed alone (seek,
//               get_many and recycle per partition) and the engine (examples.counting.KeyCounter,
//               2 workers a partition), in turn for 3 rounds; each side repeats passes over the
//               topic until it has timed at least 1 s. Medians with the range of the passes, and
//               the ratios of the feed and of the engine to plain; then the CPU a message costs
//               each (its threads and workers, while it reads) against plain's.
//   100k keys   the same size with 100,000 keys per partition, against the 1,000-key topic run in
//               turn with it; median of 3 a side, each at least 1 s.
//   16 parts    16 partitions x 100,000 messages, 1,000 keys, against the 4-partition topic
//               run in turn with it; median of 3 a side, each at least 1 s.
// Every side allocates alike: the benchmark links the allocator that vesk-run and the worker
// program link (jemalloc unless VESK_JEMALLOC is off).
//   checkpoint  one partition holding 1,000,000 keys (stored before the run) and 1,100,000
//               messages over them, checkpoints every 1 s against every 30 s, the sides in
//               turn, median of 3 a side, each at least 1 s; then the host's share of a core
//               while nothing arrives,
//               checkpoints still every 1 s.
//   latency     10,000 msg/s over 4 partitions for 6 s, produce to processed, the first second
//               not counted: plain consumer against the engine with 1,000,000 stored keys and
//               checkpoints every 1 s, the client's settings left alone on both.
//   startup     one partition of 1,000 messages: from the engine's start on a new group to the
//               partition assigned (the group join), and to its first batch processed.
// VESK_BENCH_KAFKA_CLIENT="name=value,..." gives both sides the same further client settings.
// Engine rates count from the first batch processed to the last one (the first also waits for
// the workers to take their stored states); plain rates from the first message delivered to the
// last one.
#include "checkpoint_sink.hpp"
#include "vesk/embedded_kafka/embedded_kafka.hpp"
#ifdef VESK_BENCH_WITH_REAL_KAFKA
#include "real_kafka.hpp"
#endif
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"

#ifdef VESK_BENCH_WITH_ENGINE
#include "vesk/partition_consumer.hpp"
#include "vesk/vesk.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#endif

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Topic {
  std::string name;
  int partitions = 0;
  int per_partition = 0;
  long total() const { return static_cast<long>(partitions) * per_partition; }
};

const std::string padding(84, 'x');

// The cluster the figures are taken on, chosen by VESK_BENCH_KAFKA: the mock (unset or "mock"),
// one started here ("real", shared by every instance), or a running one at HOST:PORT.
class BenchCluster {
 public:
  explicit BenchCluster(const std::map<std::string, std::string>& producer_properties) {
    const char* chosen = std::getenv("VESK_BENCH_KAFKA");
    const std::string where = chosen ? chosen : "";
    if (where.empty() || where == "mock") {
      _mock.emplace(1, producer_properties);
      return;
    }
#ifdef VESK_BENCH_WITH_REAL_KAFKA
    std::string bootstrap = where;
    if (where == "real") {
      static std::unique_ptr<vesk::testing::RealKafka> started;
      if (!started) started = std::make_unique<vesk::testing::RealKafka>(vesk::testing::KafkaClusterOptions{});
      bootstrap = started->bootstrap();
    }
    _real.emplace(std::map<std::string, std::string>{{"bootstrap.servers", bootstrap}}, producer_properties);
    make_group_topic(bootstrap);
#else
    throw std::runtime_error("VESK_BENCH_KAFKA=" + where +
                             ": built without the tests' Kafka support (VESK_BUILD_TESTS)");
#endif
  }

#ifdef VESK_BENCH_WITH_REAL_KAFKA
  // A broker makes its group offsets topic on the first group anyone joins, which takes a second
  // or more: done here, so that the startup figure is that of a new group, not of a new cluster.
  static void make_group_topic(const std::string& bootstrap) {
    char errstr[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "bootstrap.servers", bootstrap.c_str(), errstr, sizeof errstr);
    rd_kafka_conf_set(conf, "group.id", "bench-warm-up", errstr, sizeof errstr);
    rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr);
    if (!rk) throw std::runtime_error(errstr);
    rd_kafka_topic_partition_list_t* list = rd_kafka_topic_partition_list_new(1);
    rd_kafka_topic_partition_list_add(list, "bench-warm-up", 0);
    const auto give_up = Clock::now() + 60s;
    while (rd_kafka_committed(rk, list, 5000) != RD_KAFKA_RESP_ERR_NO_ERROR && Clock::now() < give_up) {
      std::this_thread::sleep_for(100ms);
    }
    rd_kafka_topic_partition_list_destroy(list);
    rd_kafka_destroy(rk);
  }

  const std::string& bootstrap_servers() const {
    return _mock ? _mock->bootstrap_servers() : _real->bootstrap_servers();
  }
  void create_topic(const std::string& topic, int partitions) {
    _mock ? _mock->create_topic(topic, partitions) : _real->create_topic(topic, partitions);
  }
  void produce(const std::string& topic, int partition, const std::optional<std::string>& key,
               const std::string& value) {
    _mock ? _mock->produce(topic, partition, key, value) : _real->produce(topic, partition, key, value);
  }
  void flush() { _mock ? _mock->flush() : _real->flush(); }
#else
  const std::string& bootstrap_servers() const { return _mock->bootstrap_servers(); }
  void create_topic(const std::string& topic, int partitions) { _mock->create_topic(topic, partitions); }
  void produce(const std::string& topic, int partition, const std::optional<std::string>& key,
               const std::string& value) {
    _mock->produce(topic, partition, key, value);
  }
  void flush() { _mock->flush(); }
#endif

 private:
  std::optional<vesk::VeskEmbeddedKafka> _mock;
#ifdef VESK_BENCH_WITH_REAL_KAFKA
  std::optional<vesk::testing::RealKafkaCluster> _real;
#endif
};

// The mock drops a partition's oldest batches beyond its limits: a benchmark topic must still
// start at offset 0.
void check_retained(BenchCluster& cluster, const Topic& topic) {
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "bootstrap.servers", cluster.bootstrap_servers().c_str(), errstr, sizeof errstr);
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr);
  if (!rk) throw std::runtime_error(errstr);
  for (int p = 0; p < topic.partitions; ++p) {
    std::int64_t low = 0, high = 0;
    rd_kafka_query_watermark_offsets(rk, topic.name.c_str(), p, &low, &high, 10000);
    if (low != 0 || high != topic.per_partition) {
      rd_kafka_destroy(rk);
      throw std::runtime_error("topic " + topic.name + " partition " + std::to_string(p) + " holds offsets " +
                               std::to_string(low) + " to " + std::to_string(high) + ", not all it was given");
    }
  }
  rd_kafka_destroy(rk);
}

void produce(BenchCluster& cluster, const Topic& topic, int keys) {
  cluster.create_topic(topic.name, topic.partitions);
  for (int i = 0; i < topic.per_partition; ++i) {
    for (int p = 0; p < topic.partitions; ++p) {
      cluster.produce(topic.name, p, "key-" + std::to_string(i % keys), padding + std::to_string(i));
    }
  }
  cluster.flush();
  check_retained(cluster, topic);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The rates of one side's passes: a figure is their median, quoted with their range.
struct Passes {
  std::vector<double> rates;
  std::vector<double> cpu_ns_per_message;
  double median() const { return ::median(rates); }
  std::string spread() const {
    if (rates.empty()) return "no passes";
    const auto [low, high] = std::minmax_element(rates.begin(), rates.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.0f-%.0f", *low, *high);
    return text;
  }
};

double load_average() {
  double load[1] = {0};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU time of the running child processes (the engine's workers), from /proc.
double live_children_cpu_seconds() {
  const std::string parent = std::to_string(::getpid());
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  double total = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // Past the command name, which may hold spaces: state, ppid, then utime and stime at 12, 13.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    if (f.size() > 12 && f[1] == parent) total += (std::stod(f[11]) + std::stod(f[12])) / tick;
  }
  return total;
}

// CPU time of this process (every thread: the client's, and the mock cluster's when it runs
// here) and of its running child processes (the engine's workers), from construction to
// `spent()`.
class CpuClock {
 public:
  double spent() const { return now() - _start; }

 private:
  static double now() { return cpu_seconds() + live_children_cpu_seconds(); }
  double _start = now();
};

struct Rate {
  long messages = 0;
  double seconds = 0;
  // CPU spent by everything the side ran while it read (and processed) `cpu_messages`.
  double cpu_seconds = 0;
  long cpu_messages = 0;
  double per_second() const { return seconds > 0 ? static_cast<double>(messages) / seconds : 0; }
  double cpu_ns_per_message() const {
    return cpu_messages > 0 ? 1e9 * cpu_seconds / static_cast<double>(cpu_messages) : 0;
  }
};

// VESK_BENCH_KAFKA_CLIENT="name=value,...": client settings given to both sides alike (the plain
// consumer, the feed and the engine's source), to compare settings such as fetch.wait.max.ms.
std::map<std::string, std::string> client_settings() {
  std::map<std::string, std::string> settings;
  const char* text = std::getenv("VESK_BENCH_KAFKA_CLIENT");
  std::string_view rest = text ? text : "";
  while (!rest.empty()) {
    const std::string_view item = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), item.size() + 1));
    const auto equals = item.find('=');
    if (equals == std::string_view::npos)
      throw std::runtime_error("VESK_BENCH_KAFKA_CLIENT: no '=' in " + std::string(item));
    settings[std::string(item.substr(0, equals))] = std::string(item.substr(equals + 1));
  }
  return settings;
}

rd_kafka_t* plain_consumer(const std::string& servers, const std::string& group) {
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  auto settings = client_settings();
  settings.insert({{"bootstrap.servers", servers}, {"group.id", group}, {"enable.auto.commit", "false"}});
  for (const auto& [name, value] : settings) {
    if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), errstr, sizeof errstr) != RD_KAFKA_CONF_OK) {
      rd_kafka_conf_destroy(conf);
      throw std::runtime_error(errstr);
    }
  }
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr);
  if (!rk) throw std::runtime_error(errstr);
  rd_kafka_poll_set_consumer(rk);
  return rk;
}

void assign_all(rd_kafka_t* rk, const Topic& topic) {
  rd_kafka_topic_partition_list_t* list = rd_kafka_topic_partition_list_new(topic.partitions);
  for (int p = 0; p < topic.partitions; ++p) {
    rd_kafka_topic_partition_list_add(list, topic.name.c_str(), p)->offset = RD_KAFKA_OFFSET_BEGINNING;
  }
  rd_kafka_assign(rk, list);
  rd_kafka_topic_partition_list_destroy(list);
}

// One pass over the whole topic with plain batch reads.
Rate plain_pass(const std::string& servers, const Topic& topic) {
  rd_kafka_t* rk = plain_consumer(servers, "bench-plain");
  assign_all(rk, topic);
  const CpuClock cpu;
  rd_kafka_queue_t* queue = rd_kafka_queue_get_consumer(rk);
  std::vector<rd_kafka_message_t*> batch(1000);
  long received = 0;
  std::optional<Clock::time_point> first;
  const auto give_up = Clock::now() + 60s;
  while (received < topic.total() && Clock::now() < give_up) {
    auto n = rd_kafka_consume_batch_queue(queue, 1000, batch.data(), batch.size());
    for (ssize_t i = 0; i < n; ++i) {
      rd_kafka_message_t* m = batch[static_cast<std::size_t>(i)];
      if (!m->err) {
        if (!first) first = Clock::now();
        ++received;
      }
      rd_kafka_message_destroy(m);
    }
  }
  const double seconds = first ? std::chrono::duration<double>(Clock::now() - *first).count() : 0;
  const double cpu_spent = cpu.spent();
  rd_kafka_queue_destroy(queue);
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  if (received != topic.total())
    throw std::runtime_error("plain consumption got " + std::to_string(received) + " messages");
  return {received, seconds, cpu_spent, received};
}

template <class Pass>
Rate at_least_a_second(Pass pass) {
  Rate sum;
  while (sum.seconds < 1.0) {
    const Rate r = pass();
    sum.messages += r.messages;
    sum.seconds += r.seconds;
    sum.cpu_seconds += r.cpu_seconds;
    sum.cpu_messages += r.cpu_messages;
  }
  return sum;
}

// One side of a comparison: its name, and one pass of it.
struct Side {
  std::string name;
  std::function<Rate()> pass;
};

// Every side's passes, taken in turn for `rounds` rounds, the first side of a round moving on by
// one each round, so that the machine's drift weighs on every side alike. Each pass is timed
// over at least a second.
std::vector<Passes> alternated(const std::vector<Side>& sides, int rounds = 3) {
  std::vector<Passes> out(sides.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < sides.size(); ++i) {
      const std::size_t side = (static_cast<std::size_t>(round) + i) % sides.size();
      const Rate rate = at_least_a_second(sides[side].pass);
      out[side].rates.push_back(rate.per_second());
      out[side].cpu_ns_per_message.push_back(rate.cpu_ns_per_message());
      std::fprintf(stderr, "round %d %s: %.0f msg/s [load %.2f]\n", round, sides[side].name.c_str(),
                   out[side].rates.back(), load_average());
    }
  }
  return out;
}

// The source alone: one reader task per partition doing what a partition consumer does with it
// (seek, get_many, and the batch handed back once done with), without workers behind it.
class CountingListener : public vesk::VeskRebalanceListener {
 public:
  void on_partitions_revoked(const std::vector<vesk::PartitionId>&) override {}
  void on_partitions_assigned(const std::vector<vesk::PartitionId>& assigned) override { count += assigned.size(); }
  std::size_t count = 0;
};

vesk::Awaitable<void> read_partition(vesk::VeskKafkaFeed& feed, vesk::PartitionId partition, vesk::Offset end,
                                     std::optional<Clock::time_point>& first) {
  vesk::PartitionState state{partition, 0, {}};
  while (state.offset < end) {
    co_await feed.seek(state);
    auto batch = co_await feed.get_many(partition);
    if (!first) first = Clock::now();
    state.offset = batch.back().offset + 1;
    feed.recycle(partition, std::move(batch));
  }
}

vesk::Awaitable<Rate> feed_run(std::string servers, Topic topic) {
  auto listener = std::make_shared<CountingListener>();
  vesk::VeskKafkaFeed feed(servers, "bench-feed", topic.name, "", "", "", "", vesk::null_logger(), client_settings());
  feed.set_listener(listener);
  co_await feed.start();
  while (listener->count < static_cast<std::size_t>(topic.partitions)) co_await vesk::sleep(5ms);
  const CpuClock cpu;
  std::optional<Clock::time_point> first;
  std::vector<vesk::Task<void>> readers;
  for (int p = 0; p < topic.partitions; ++p) {
    readers.push_back(vesk::Task<void>::create(read_partition(feed, p, topic.per_partition, first)));
  }
  co_await vesk::gather(readers);
  const double seconds = std::chrono::duration<double>(Clock::now() - *first).count();
  const double cpu_spent = cpu.spent();
  co_await feed.stop();
  co_return Rate{topic.total(), seconds, cpu_spent, topic.total()};
}

Rate feed_pass(const std::string& servers, const Topic& topic) {
  vesk::EventLoop loop;
  return loop.run_until_complete(feed_run(servers, topic));
}

#ifdef VESK_BENCH_WITH_ENGINE
using vesk::bench::CheckpointSink;

template <class Predicate>
vesk::Awaitable<void> until(Predicate done, std::chrono::seconds limit) {
  const auto give_up = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > give_up) throw std::runtime_error("the engine did not consume every message in time");
    co_await vesk::sleep(1ms);
  }
}

// Everything one engine run needs; each run has its own group and state directory.
struct EngineSetup {
  std::string servers;
  Topic topic;
  int workers = 2;
  std::chrono::steady_clock::duration checkpoint_interval = std::chrono::hours(1);
  // Keys stored for every partition before the engine starts ("stored-<n>"), at offset 0.
  int stored_keys = 0;
};

int run_counter = 0;

struct EngineRun {
  explicit EngineRun(const EngineSetup& setup)
      : setup(setup),
        directory(std::filesystem::temp_directory_path() /
                  ("vesk-bench-kafka-" + std::to_string(::getpid()) + "-" + std::to_string(++run_counter))),
        sink(std::make_shared<CheckpointSink>()),
        logger(std::make_shared<spdlog::logger>("bench", sink)) {
    ::setenv("VESK_HANDLER_PATH", VESK_BENCH_HANDLER_DIR, 0);
    ::setenv("VESK_WORKER_PROGRAM", VESK_BENCH_WORKER_PROGRAM, 0);
    std::filesystem::create_directories(directory);
    logger->set_level(spdlog::level::info);
    backend = std::make_shared<vesk::VeskLocalFileBackend>(directory);
  }
  ~EngineRun() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    for (const auto& line : sink->lines()) {
      if (line.rfind("[p", 0) != 0 && line.find("CONFWARN") == std::string::npos) {
        std::fprintf(stderr, "engine log: %s\n", line.c_str());
      }
    }
  }

  vesk::Awaitable<void> store_keys() {
    if (setup.stored_keys == 0) co_return;
    vesk::VeskStateStore store(backend, logger);
    for (int p = 0; p < setup.topic.partitions; ++p) {
      vesk::PartitionState state{p, 0, {}};
      state.state.reserve(static_cast<std::size_t>(setup.stored_keys));
      for (int k = 0; k < setup.stored_keys; ++k)
        state.state.append_unique(vesk::Value("stored-" + std::to_string(k)), vesk::Value(1));
      co_await store.set_partition_state(p, state);
    }
  }

  vesk::Awaitable<void> start() {
    co_await store_keys();
    feed = std::make_shared<vesk::VeskKafkaFeed>(setup.servers, "bench-engine-" + std::to_string(run_counter),
                                                 setup.topic.name, "", "", "", "", logger, client_settings());
    engine = std::make_shared<vesk::Vesk>(logger, backend, setup.workers, setup.checkpoint_interval);
    engine->source(feed).process(
        std::shared_ptr<vesk::StreamHandlerBase>(vesk::create_stream_handler("examples.counting.KeyCounter")));
    started = Clock::now();
    engine->start();
    co_await until([this] { return consumers().size() == static_cast<std::size_t>(setup.topic.partitions); }, 60s);
    assigned = Clock::now();
  }

  std::vector<std::shared_ptr<vesk::Vesk::PartitionConsumer>> consumers() const {
    std::vector<std::shared_ptr<vesk::Vesk::PartitionConsumer>> out;
    for (int p = 0; p < setup.topic.partitions; ++p) {
      auto* slot = engine->_partition_consumers.find(p);
      if (!slot || !*slot) return {};
      out.push_back(*slot);
    }
    return out;
  }

  bool processed(vesk::Offset end) const {
    auto all = consumers();
    if (all.size() != static_cast<std::size_t>(setup.topic.partitions)) return false;
    for (const auto& c : all) {
      if (!c->_state || c->_state->offset != end || !c->_all_workers_drained) return false;
    }
    return true;
  }

  // Messages every partition has processed since the start.
  long processed_so_far() const {
    long total = 0;
    for (const auto& c : consumers()) total += c->_state ? c->_state->offset : 0;
    return total;
  }

  // Every partition has processed a batch since the start (the stored states are at offset 0).
  bool each_partition_moved() const {
    auto all = consumers();
    return !all.empty() &&
           std::all_of(all.begin(), all.end(), [](const auto& c) { return c->_state && c->_state->offset > 0; });
  }

  vesk::Awaitable<void> finish() {
    co_await engine->stop();
    co_await feed->stop();
    engine.reset();
    co_await vesk::sleep(50ms);
  }

  EngineSetup setup;
  std::filesystem::path directory;
  std::shared_ptr<CheckpointSink> sink;
  vesk::Logger logger;
  std::shared_ptr<vesk::VeskLocalFileBackend> backend;
  std::shared_ptr<vesk::VeskKafkaFeed> feed;
  std::shared_ptr<vesk::Vesk> engine;
  Clock::time_point started;
  // Every partition has its consumer: the group join is over.
  Clock::time_point assigned;
};

// One engine pass over the whole topic. With `idle_for`, the host's share of a core is also
// measured for that long once everything is processed.
struct EngineFigures {
  Rate rate;
  double idle_core_share = 0;
  // Seconds from the engine's start to every partition assigned, and to every partition's
  // first batch.
  double join_seconds = 0;
  double first_batch_seconds = 0;
};

vesk::Awaitable<EngineFigures> engine_pass(EngineSetup setup, std::chrono::seconds idle_for) {
  EngineRun run(setup);
  co_await run.start();
  EngineFigures figures;
  co_await until([&run] { return run.each_partition_moved(); }, 60s);
  figures.first_batch_seconds = std::chrono::duration<double>(Clock::now() - run.started).count();
  const CpuClock cpu;
  const long processed_before = run.processed_so_far();
  co_await until([&run, end = setup.topic.per_partition] { return run.processed(end); }, 180s);
  const auto [messages, seconds] = run.sink->after_first_batch();
  figures.rate = {messages, seconds, cpu.spent(), setup.topic.total() - processed_before};
  figures.join_seconds = std::chrono::duration<double>(run.assigned - run.started).count();
  if (idle_for > 0s) {
    // Past the first checkpoint that holds everything, then idle.
    co_await vesk::sleep(setup.checkpoint_interval + 500ms);
    const double cpu = cpu_seconds();
    const auto began = Clock::now();
    co_await vesk::sleep(idle_for);
    figures.idle_core_share = (cpu_seconds() - cpu) / std::chrono::duration<double>(Clock::now() - began).count();
  }
  co_await run.finish();
  co_return figures;
}

EngineFigures engine_figures(const EngineSetup& setup, std::chrono::seconds idle_for = 0s) {
  vesk::EventLoop loop;
  return loop.run_until_complete(engine_pass(setup, idle_for));
}

Side engine_side(std::string name, EngineSetup setup) {
  return {std::move(name), [setup] { return engine_figures(setup).rate; }};
}

// ---- latency ----

constexpr int latency_rate = 10'000;
constexpr auto latency_run = 6s;
// What is sent in the first second is not counted, on either side: the steady figure is wanted,
// not how long a consumer takes to get going (stored states still loading into the workers).
constexpr long latency_warmup_messages = latency_rate;

// Produces `latency_rate` messages a second round-robin over the partitions, noting when each
// one (by partition and offset, which count from 0 on a fresh topic) was handed to the producer.
class PacedProducer {
 public:
  PacedProducer(BenchCluster& cluster, Topic topic)
      : _cluster(cluster),
        _topic(std::move(topic)),
        _count(latency_rate * std::chrono::duration_cast<std::chrono::seconds>(latency_run).count()) {
    _sent.resize(static_cast<std::size_t>(_count));
  }
  void run() {
    const auto start = Clock::now();
    const auto step = std::chrono::nanoseconds(1'000'000'000 / latency_rate);
    for (long i = 0; i < _count; ++i) {
      const auto due = start + step * i;
      if (due > Clock::now()) std::this_thread::sleep_until(due);
      const int p = static_cast<int>(i % _topic.partitions);
      _sent[static_cast<std::size_t>(i)] = Clock::now();
      _cluster.produce(_topic.name, p, "key-" + std::to_string(i % 1000), padding + std::to_string(i));
    }
    _cluster.flush();
  }
  long count() const { return _count; }
  Clock::time_point sent(int partition, vesk::Offset offset) const {
    return _sent[static_cast<std::size_t>(index(partition, offset))];
  }
  bool warming_up(int partition, vesk::Offset offset) const {
    return index(partition, offset) < latency_warmup_messages;
  }

 private:
  BenchCluster& _cluster;
  Topic _topic;
  long index(int partition, vesk::Offset offset) const { return offset * _topic.partitions + partition; }

  long _count;
  std::vector<Clock::time_point> _sent;
};

// Notes the latency of the message at (partition, offset), received at `now`.
struct LatencyLog {
  explicit LatencyLog(const PacedProducer& producer) : producer(producer) {}
  void received(int partition, vesk::Offset offset, Clock::time_point now) {
    ++count;
    if (producer.warming_up(partition, offset)) return;
    ms.push_back(std::chrono::duration<double, std::milli>(now - producer.sent(partition, offset)).count());
  }
  bool complete() const { return count >= producer.count(); }
  const PacedProducer& producer;
  long count = 0;
  std::vector<double> ms;
};

struct Latency {
  double p50_ms = 0;
  double p99_ms = 0;
};

Latency percentiles(std::vector<double> ms) {
  if (ms.empty()) throw std::runtime_error("no latency was measured");
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

Latency plain_latency(BenchCluster& cluster, const Topic& topic) {
  cluster.create_topic(topic.name, topic.partitions);
  rd_kafka_t* rk = plain_consumer(cluster.bootstrap_servers(), "bench-plain-latency");
  assign_all(rk, topic);
  rd_kafka_queue_t* queue = rd_kafka_queue_get_consumer(rk);
  PacedProducer producer(cluster, topic);
  std::thread producing([&producer] { producer.run(); });
  LatencyLog log(producer);
  std::vector<rd_kafka_message_t*> batch(1000);
  const auto give_up = Clock::now() + latency_run + 30s;
  while (!log.complete() && Clock::now() < give_up) {
    auto n = rd_kafka_consume_batch_queue(queue, 100, batch.data(), batch.size());
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
      rd_kafka_message_t* m = batch[static_cast<std::size_t>(i)];
      if (!m->err) log.received(m->partition, m->offset, now);
      rd_kafka_message_destroy(m);
    }
  }
  producing.join();
  rd_kafka_queue_destroy(queue);
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return percentiles(std::move(log.ms));
}

vesk::Awaitable<Latency> engine_latency_run(BenchCluster* cluster, EngineSetup setup) {
  EngineRun run(setup);
  co_await run.start();
  // Every partition has taken its stored state and positioned itself before messages come.
  co_await until(
      [&run] {
        for (const auto& c : run.consumers()) {
          if (!c->handed_over()) return false;
        }
        return true;
      },
      60s);
  co_await vesk::sleep(500ms);
  PacedProducer producer(*cluster, setup.topic);
  std::thread producing([&producer] { producer.run(); });
  // A batch counts as processed once its consumer has drained it: watched every millisecond.
  LatencyLog log(producer);
  std::vector<vesk::Offset> done(static_cast<std::size_t>(setup.topic.partitions), 0);
  const auto give_up = Clock::now() + latency_run + 60s;
  while (!log.complete() && Clock::now() < give_up) {
    co_await vesk::sleep(1ms);
    const auto now = Clock::now();
    const auto consumers = run.consumers();
    for (std::size_t p = 0; p < consumers.size(); ++p) {
      const auto& c = consumers[p];
      if (!c->_state || !c->_all_workers_drained) continue;
      for (; done[p] < c->_state->offset; ++done[p]) log.received(static_cast<int>(p), done[p], now);
    }
  }
  auto join = [&producing] { producing.join(); };
  co_await vesk::run_blocking(std::move(join));
  co_await run.finish();
  co_return percentiles(std::move(log.ms));
}

Latency engine_latency(BenchCluster& cluster, const EngineSetup& setup) {
  cluster.create_topic(setup.topic.name, setup.topic.partitions);
  vesk::EventLoop loop;
  return loop.run_until_complete(engine_latency_run(&cluster, setup));
}
#endif

void line(const char* format, double value, const char* goal = nullptr) {
  std::printf(format, value);
  if (goal) std::printf(" (goal %s)", goal);
  std::printf("  [load %.2f]\n", load_average());
  std::fflush(stdout);
}

// "<name>: <median> (passes <low>-<high>)" for a rate.
void rate_line(const std::string& name, const Passes& passes, const char* goal = nullptr) {
  const std::string format = name + ": %.0f (passes " + passes.spread() + ")";
  line(format.c_str(), passes.median(), goal);
}

// The ratio of two sides' medians, with the range of each side's passes.
void ratio_line(const std::string& name, const Passes& side, const Passes& base, const char* goal) {
  const std::string format = name + ": %.0f%% (passes " + side.spread() + " against " + base.spread() + ")";
  line(format.c_str(), 100 * side.median() / base.median(), goal);
}

// How many times plain's CPU a message a side spends. A side that keeps every core busy cannot
// read faster than the cores over its CPU a message, however fast plain reads.
void cpu_ratio_line(const std::string& name, const Passes& side, const Passes& base) {
  const double side_ns = median(side.cpu_ns_per_message);
  const double base_ns = median(base.cpu_ns_per_message);
  char format[128];
  std::snprintf(format, sizeof format, "%s: %%.2fx (%.0f against %.0f ns of CPU a message)", name.c_str(), side_ns,
                base_ns);
  line(format, side_ns / base_ns);
}

#ifdef VESK_BENCH_WITH_ENGINE
// One partition, as `vesk-run --embedded-kafka` starts with: with several, one partition's seek
// wakes the client's fetcher for the others, and would hide a partition left waiting.
void startup_figures(BenchCluster& cluster) {
  const Topic topic{"bench-startup", 1, 1000};
  produce(cluster, topic, 100);
  // The mock cluster holds a new group's first join for 3 s, whatever the client asks; the
  // started Apache Kafka cluster not at all (group.initial.rebalance.delay.ms=0).
  const EngineFigures startup = engine_figures({cluster.bootstrap_servers(), topic});
  line("kafka.startup_group_join_s: %.3f", startup.join_seconds);
  line("kafka.startup_to_first_batch_s: %.3f", startup.first_batch_seconds, "< 1");
}
#endif

Side plain_side(const std::string& servers, const Topic& topic) {
  return {"plain", [servers, topic] { return plain_pass(servers, topic); }};
}

Side feed_side(const std::string& servers, const Topic& topic) {
  return {"feed", [servers, topic] { return feed_pass(servers, topic); }};
}

// Plain reads, the source alone and the engine over the main topic, alternated; then the engine
// on many keys and on many partitions, each against the main topic in turn with it.
void throughput_figures(BenchCluster& cluster, const Topic& main_topic, const Topic& many_keys, const Topic& sixteen) {
  const std::string servers = cluster.bootstrap_servers();
  std::vector<Side> sides{plain_side(servers, main_topic), feed_side(servers, main_topic)};
#ifdef VESK_BENCH_WITH_ENGINE
  sides.push_back(engine_side("engine", {servers, main_topic}));
#endif
  const auto passes = alternated(sides);
  rate_line("kafka.plain_msgs_per_s", passes[0]);
  rate_line("kafka.feed_msgs_per_s", passes[1]);
  ratio_line("kafka.feed_vs_plain", passes[1], passes[0], ">= 90%");
  cpu_ratio_line("kafka.feed_cpu_vs_plain", passes[1], passes[0]);
#ifdef VESK_BENCH_WITH_ENGINE
  rate_line("kafka.engine_msgs_per_s", passes[2]);
  ratio_line("kafka.engine_vs_plain", passes[2], passes[0], ">= 85%");
  cpu_ratio_line("kafka.engine_cpu_vs_plain", passes[2], passes[0]);

  produce(cluster, many_keys, 100'000);
  const auto keys = alternated(
      {engine_side("1k keys", {servers, main_topic}), engine_side("100k keys", {servers, many_keys})});
  rate_line("kafka.engine_100k_keys_msgs_per_s", keys[1]);
  ratio_line("kafka.engine_100k_keys_vs_1k_keys", keys[1], keys[0], ">= 90%");

  produce(cluster, sixteen, 1000);
  const auto parts = alternated(
      {engine_side("4 partitions", {servers, main_topic}), engine_side("16 partitions", {servers, sixteen})});
  rate_line("kafka.engine_16_partitions_msgs_per_s", parts[1]);
  ratio_line("kafka.engine_16_vs_4_partitions", parts[1], parts[0], ">= 80%");
#endif
}

// The producer that fills the benchmark topics: large batches, compressed with `codec`.
std::map<std::string, std::string> filling_producer(const std::string& codec) {
  return {{"linger.ms", "50"},          {"batch.num.messages", "10000"},
          {"batch.size", "1000000"},    {"queue.buffering.max.messages", "1000000"},
          {"compression.codec", codec}, {"log_level", "3"}};
}

}  // namespace

int main() {
  try {
    BenchCluster cluster(filling_producer("lz4"));
    const std::string servers = cluster.bootstrap_servers();
    const Topic main_topic{"bench", 4, 400'000};
    const Topic many_keys{"bench-100k-keys", 4, 400'000};
    const Topic sixteen{"bench-16-partitions", 16, 100'000};
    produce(cluster, main_topic, 1000);
#ifdef VESK_BENCH_WITH_ENGINE
    // VESK_BENCH_KAFKA_PROFILE=1: one engine pass over the main topic and nothing else, to run
    // under a profiler; =100k, =16: one over the 100,000-key or the 16-partition topic; =plain,
    // =feed: one pass of that side; =source: plain and feed passes alternated, the source's
    // figure alone; =throughput: the alternated throughput figures alone; =latency, =startup:
    // those figures alone; =million: only the million-key runs.
    const char* profile = std::getenv("VESK_BENCH_KAFKA_PROFILE");
    if (profile != nullptr && std::string(profile) == "throughput") {
      throughput_figures(cluster, main_topic, many_keys, sixteen);
      return 0;
    }
    if (profile != nullptr && std::string(profile) != "million") {
      const std::string mode = profile;
      if (mode == "100k") produce(cluster, many_keys, 100'000);
      if (mode == "16") produce(cluster, sixteen, 1000);
      // VESK_BENCH_PERF_CONTROL: the control fifo of `perf record -D -1 --control fifo:...`,
      // told to start sampling now that the topics are written.
      if (const char* control = std::getenv("VESK_BENCH_PERF_CONTROL")) {
        if (std::FILE* fifo = std::fopen(control, "w")) {
          std::fputs("enable\n", fifo);
          std::fclose(fifo);
        }
      }
      if (mode == "latency") {
        const Latency plain_l = plain_latency(cluster, {"bench-latency-plain", 4, 0});
        const Latency engine_l = engine_latency(cluster, {servers, {"bench-latency-engine", 4, 0}, 2, 1s, 250'000});
        line("kafka.latency_p99_engine_vs_plain: %.2f", engine_l.p99_ms / plain_l.p99_ms, "<= 1.5");
      } else if (mode == "plain") {
        line("kafka.plain_msgs_per_s: %.0f", plain_pass(servers, main_topic).per_second());
      } else if (mode == "startup") {
        startup_figures(cluster);
      } else if (mode == "feed") {
        line("kafka.feed_msgs_per_s: %.0f", feed_pass(servers, main_topic).per_second());
      } else if (mode == "source") {
        const auto passes = alternated({plain_side(servers, main_topic), feed_side(servers, main_topic)});
        rate_line("kafka.plain_msgs_per_s", passes[0]);
        rate_line("kafka.feed_msgs_per_s", passes[1]);
        ratio_line("kafka.feed_vs_plain", passes[1], passes[0], ">= 90%");
        cpu_ratio_line("kafka.feed_cpu_vs_plain", passes[1], passes[0]);
      } else {
        line("kafka.engine_msgs_per_s: %.0f", engine_figures({servers, mode == "100k" ? many_keys
                                                                       : mode == "16" ? sixteen
                                                                                      : main_topic})
                                                  .rate.per_second());
      }
      return 0;
    }
#endif

    if (!profile) throughput_figures(cluster, main_topic, many_keys, sixteen);
#ifdef VESK_BENCH_WITH_ENGINE

    // A million keys in one partition, every message changing one of them.
    {
      BenchCluster zstd_cluster(filling_producer("zstd"));
      const Topic million{"bench-1m-keys", 1, 1'100'000};
      zstd_cluster.create_topic(million.name, 1);
      for (int i = 0; i < million.per_partition; ++i) {
        // Short values and keys in turn: what this run weighs is the state, and the topic must
        // fit the mock.
        zstd_cluster.produce(million.name, 0, "stored-" + std::to_string(i % 1'000'000), std::to_string(i));
      }
      zstd_cluster.flush();
      check_retained(zstd_cluster, million);
      std::fprintf(stderr, "plain on the million-key topic: %.0f msg/s\n",
                   plain_pass(zstd_cluster.bootstrap_servers(), million).per_second());
      EngineSetup every_30s{zstd_cluster.bootstrap_servers(), million, 2, 30s, 1'000'000};
      EngineSetup every_1s = every_30s;
      every_1s.checkpoint_interval = 1s;
      // A pass takes about half a second, so a checkpoint every 1 s lands in some passes and not
      // in others: medians over several passes a side.
      const auto checkpoints = alternated(
          {engine_side("checkpoints every 30 s", every_30s), engine_side("checkpoints every 1 s", every_1s)});
      rate_line("kafka.engine_1m_keys_checkpoint_30s_msgs_per_s", checkpoints[0]);
      rate_line("kafka.engine_1m_keys_checkpoint_1s_msgs_per_s", checkpoints[1]);
      ratio_line("kafka.checkpoint_1s_vs_30s", checkpoints[1], checkpoints[0], ">= 80%");
      const EngineFigures idle = engine_figures(every_1s, 5s);
      line("kafka.idle_1m_keys_checkpoint_1s_core_percent: %.2f", 100 * idle.idle_core_share, "< 2");
    }

    if (profile) return 0;
    const Latency plain_l = plain_latency(cluster, {"bench-latency-plain", 4, 0});
    EngineSetup latency_setup{servers, {"bench-latency-engine", 4, 0}, 2, 1s, 250'000};
    const Latency engine_l = engine_latency(cluster, latency_setup);
    line("kafka.latency_plain_p50_ms: %.1f", plain_l.p50_ms);
    line("kafka.latency_plain_p99_ms: %.1f", plain_l.p99_ms);
    line("kafka.latency_engine_p50_ms: %.1f", engine_l.p50_ms);
    line("kafka.latency_engine_p99_ms: %.1f", engine_l.p99_ms);
    line("kafka.latency_p99_engine_vs_plain: %.2f", engine_l.p99_ms / plain_l.p99_ms, "<= 1.5");
    startup_figures(cluster);
#endif
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_kafka: %s\n", e.what());
    return 1;
  }
  return 0;
}

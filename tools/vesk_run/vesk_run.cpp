// vesk-run: runs a handler module as a stream processor. `vesk-run --help` lists every flag.
//
// Kafka settings come from the environment (KAFKA_BOOTSTRAP_SERVERS, KAFKA_GROUP_ID, KAFKA_TOPIC,
// ...). State goes to blob storage when AZURE_STORAGE_CONNECTION_STRING is set, otherwise to a
// local directory. SIGINT and SIGTERM stop the engine and the source cleanly; so does
// --until-caught-up once every partition has stored a checkpoint of what was there at the start.

#include "caught_up.hpp"
#include "cli_support.hpp"
#include "vesk/embedded_kafka/embedded_kafka.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/stream_handler/handler_registry.hpp"
#include "vesk/stream_handler/stream_handler.hpp"
#include "vesk/vesk.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_metrics_endpoint/vesk_metrics_endpoint.hpp"

#include <librdkafka/rdkafka.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <asio/signal_set.hpp>

#include <pthread.h>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using vesk::cli::UsageError;

struct Options {
  std::string handler;
  int workers = 2;
  double checkpoint_interval = 30.0;
  double release_timeout = 10.0;
  std::string state_dir = "./vesk-state";
  std::optional<int> embedded_partitions;
  std::optional<std::string> produce_file;
  std::optional<std::string> produce_lines_file;
  std::optional<double> run_for;
  bool until_caught_up = false;
  std::optional<std::string> log_level;
  std::optional<int> metrics_port;
  std::optional<std::string> metrics_host;
  double stall_seconds = 60.0;
  double status_interval = 10.0;
  std::vector<std::string> kafka_properties;  // KEY=VALUE, in the order given
  bool commit_offsets = false;
  double unhealthy_after = 30.0;
};

constexpr const char* environment_help =
    "Environment: KAFKA_BOOTSTRAP_SERVERS, KAFKA_GROUP_ID and KAFKA_TOPIC name the cluster, the consumer group and\n"
    "the topic (--embedded-kafka sets them; KAFKA_TOPIC defaults to vesk-demo and KAFKA_GROUP_ID to vesk-run there);\n"
    "KAFKA_SECURITY_PROTOCOL, KAFKA_SASL_MECHANISM, KAFKA_SASL_USERNAME and KAFKA_SASL_PASSWORD configure the client.\n"
    "AZURE_STORAGE_CONNECTION_STRING, with AZURE_STORAGE_CONTAINER_NAME and AZURE_STORAGE_PREFIX, keeps state in blob\n"
    "storage instead of --state-dir. VESK_HANDLER_PATH lists the directories searched for handler modules.\n"
    "VESK_LOG_LEVEL sets the log level when --log-level is not given.\n"
    "SIGINT and SIGTERM stop the run cleanly.";

// Parses the command line into `o`; returns an exit status when the program is to end now.
std::optional<int> parse(int argc, char** argv, Options& o) {
  CLI::App app("Runs a handler module as a stream processor on a Kafka topic.", "vesk-run");
  app.footer(environment_help);
  auto positive_int = vesk::cli::needs("needs a whole number of at least 1",
                                       [](const std::string& t) { return vesk::cli::whole_number_in(t, 1, 1000000); });
  auto positive_seconds = vesk::cli::needs("needs a number of seconds above 0", vesk::cli::seconds_above_zero);
  auto not_empty = vesk::cli::needs("needs a value", [](const std::string& t) { return !t.empty(); });
  app.add_option("--handler", o.handler,
                 "The handler class to run: <module>.<class>, e.g. examples.counting.KeyCounter")
      ->type_name("PATH")
      ->required()
      ->check(not_empty);
  app.add_option("--workers", o.workers, "Worker processes per partition (default 2)")
      ->type_name("N")
      ->check(positive_int);
  app.add_option("--checkpoint-interval", o.checkpoint_interval, "Seconds between checkpoints (default 30)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  app.add_option("--state-dir", o.state_dir,
                 "Directory of the state files when AZURE_STORAGE_CONNECTION_STRING is not set (default ./vesk-state)")
      ->type_name("DIR")
      ->check(not_empty);
  app.add_option("--embedded-kafka", o.embedded_partitions,
                 "Start an in-process Kafka cluster with a topic of this many partitions")
      ->type_name("PARTITIONS")
      ->check(positive_int);
  app.add_option("--produce", o.produce_file,
                 "Publish one message per word of FILE first (key and value: the word, lowercased); "
                 "needs --embedded-kafka")
      ->type_name("FILE");
  app.add_option("--produce-lines", o.produce_lines_file,
                 "Publish one message per line of FILE first: the key before the first tab, the value after it "
                 "(the whole line for both without a tab); needs --embedded-kafka")
      ->type_name("FILE");
  app.add_option("--release-timeout", o.release_timeout,
                 "Seconds a partition that is taken away, or stopped, may take to store its last checkpoint before "
                 "it is let go without it (default 10; keep it well under max.poll.interval.ms)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  app.add_option("--run-for", o.run_for, "Stop after this many seconds")->type_name("SECONDS")->check(positive_seconds);
  app.add_flag("--until-caught-up", o.until_caught_up,
               "Stop once every assigned partition has processed the messages it held at the start and stored a "
               "checkpoint of them");
  auto log_level = vesk::cli::needs("needs one of trace, debug, info, warning, error, off",
                                    [](const std::string& t) { return vesk::parse_log_level(t).has_value(); });
  app.add_option("--log-level", o.log_level,
                 "trace, debug, info, warning, error or off (default: VESK_LOG_LEVEL, else info)")
      ->type_name("LEVEL")
      ->check(log_level);
  app.add_option("--metrics-port", o.metrics_port,
                 "Serve /metrics (Prometheus) and /healthz on this port; 0 picks a free one")
      ->type_name("PORT")
      ->check(vesk::cli::needs("needs a port number from 0 to 65535",
                               [](const std::string& t) { return vesk::cli::whole_number_in(t, 0, 65535); }));
  app.add_option("--metrics-host", o.metrics_host, "Address the metrics endpoint listens on (default 127.0.0.1)")
      ->type_name("HOST")
      ->check(not_empty);
  app.add_option("--stall-seconds", o.stall_seconds,
                 "/healthz reports a partition with lag that has made no progress for this long (default 60)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  app.add_option("--status-interval", o.status_interval,
                 "Seconds between status lines in the log (default 10, 0 for none)")
      ->type_name("SECONDS")
      ->check(vesk::cli::needs("needs a number of seconds, 0 or more",
                               [](const std::string& t) { return t == "0" || vesk::cli::seconds_above_zero(t); }));
  app.add_option("--kafka-property", o.kafka_properties,
                 "A Kafka client property, applied after Vesk's own (e.g. session.timeout.ms=6000); repeatable")
      ->type_name("KEY=VALUE")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(vesk::cli::needs("needs KEY=VALUE", [](const std::string& t) {
        const auto equals = t.find('=');
        return equals != std::string::npos && equals > 0;
      }));
  app.add_flag("--commit-offsets", o.commit_offsets,
               "After each checkpoint is stored, commit its offset to the consumer group, so that Kafka's lag tools "
               "(kafka-consumer-groups, Burrow) see the group's progress; Vesk never reads it back");
  app.add_option("--unhealthy-after", o.unhealthy_after,
                 "/healthz answers 503 once no Kafka broker has answered, or the host has been out of its consumer "
                 "group, for this long; lag is unknown from a high watermark older than this (default 30)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  vesk::cli::setup(app);
  if (auto status = vesk::cli::parse(app, argc, argv)) return status;
  if (o.metrics_host && !o.metrics_port)
    return vesk::cli::report_usage_error(app, "--metrics-host needs --metrics-port");
  if ((o.produce_file || o.produce_lines_file) && !o.embedded_partitions) {
    return vesk::cli::report_usage_error(
        app, std::string(o.produce_file ? "--produce" : "--produce-lines") + " needs --embedded-kafka");
  }
  return std::nullopt;
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

// The messages of a file of lines: the key before the first tab, the value after it.
std::vector<std::pair<std::string, std::string>> lines_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the file to produce: " + path);
  std::vector<std::pair<std::string, std::string>> messages;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    auto tab = line.find('\t');
    if (tab == std::string::npos) {
      messages.emplace_back(line, line);
    } else {
      messages.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
  }
  return messages;
}

// A property the client refuses would fail every connection attempt: refuse it now, by name.
void check_kafka_properties(const vesk::VeskKafkaFeed::ExtraProperties& properties) {
  std::unique_ptr<rd_kafka_conf_t, void (*)(rd_kafka_conf_t*)> conf(rd_kafka_conf_new(), &rd_kafka_conf_destroy);
  for (const auto& [name, value] : properties) {
    char error[512];
    if (rd_kafka_conf_set(conf.get(), name.c_str(), value.c_str(), error, sizeof error) != RD_KAFKA_CONF_OK) {
      throw UsageError("--kafka-property " + name + "=" + value + ": " + error);
    }
  }
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

// Seconds with three decimals, as the engine's own lines write them.
std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

// One line every `interval`: the assigned partitions, messages per second since the last line,
// the total lag and the oldest checkpoint's age.
vesk::Awaitable<void> log_status(const vesk::Vesk& engine, std::chrono::duration<double> interval,
                                 vesk::Logger logger) {
  auto total_of = [](const vesk::MetricsSnapshot& s) {
    std::uint64_t total = 0;
    for (const auto& p : s.partitions) total += p.metrics.messages_processed;
    return total;
  };
  auto last_total = total_of(engine.metrics());
  auto last_time = std::chrono::steady_clock::now();
  for (;;) {
    co_await vesk::sleep(interval);
    const auto snapshot = engine.metrics();
    const auto now = std::chrono::steady_clock::now();
    const auto total = total_of(snapshot);
    const double seconds = std::chrono::duration<double>(now - last_time).count();
    // Partitions revoked meanwhile take their counts along: never a negative rate.
    const double rate = total > last_total && seconds > 0 ? static_cast<double>(total - last_total) / seconds : 0.0;
    last_total = total;
    last_time = now;
    std::string partitions;
    std::int64_t lag = 0;
    std::size_t lag_known = 0;
    std::optional<double> oldest;
    for (const auto& p : snapshot.partitions) {
      partitions += (partitions.empty() ? "" : ",") + std::to_string(p.partition);
      if (p.lag) {
        lag += *p.lag;
        ++lag_known;
      }
      if (p.seconds_since_checkpoint) oldest = std::max(oldest.value_or(0.0), *p.seconds_since_checkpoint);
    }
    // A source that has not told a partition's high watermark yet leaves its lag out.
    std::string lag_text = std::to_string(lag);
    if (lag_known == 0 && !snapshot.partitions.empty()) {
      lag_text = "not known";
    } else if (lag_known < snapshot.partitions.size()) {
      lag_text += " (" + std::to_string(snapshot.partitions.size() - lag_known) + " partitions not known)";
    }
    char text[320];
    std::snprintf(text, sizeof text, "Status: %zu partitions [%s], %.1f messages/s, lag %s, oldest checkpoint %s",
                  snapshot.partitions.size(), partitions.c_str(), rate, lag_text.c_str(),
                  oldest ? (seconds_text(*oldest) + " s ago").c_str() : "none");
    std::string line = text;
    if (snapshot.source && !snapshot.source->problems.empty()) {
      for (const auto& problem : snapshot.source->problems) line += "; " + problem;
      logger->warn(line);
    } else {
      if (snapshot.source && snapshot.source->group_member && snapshot.partitions.empty()) {
        line += " (a group member with no partitions assigned)";
      }
      logger->info(line);
    }
  }
}

// SIGINT and SIGTERM are held back (on this thread and the threads it starts) until the run can
// stop cleanly, rather than ending the process during start-up.
void hold_stop_signals(bool hold) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &stop, nullptr);
}

// Ends once a broker has refused the source's credentials: retrying cannot mend that, and a run
// that consumes nothing must not look like one that is idle.
vesk::Awaitable<void> until_refused(const vesk::VeskKafkaFeed& feed) {
  while (!feed.authentication_failure()) co_await vesk::sleep(std::chrono::milliseconds(100));
}

// Runs until a signal arrives, --run-for passes, a broker refuses the credentials or (with
// --until-caught-up) every partition has stored what it held at the start; then stops the
// engine and the source. The exit status: 1 after a refusal, otherwise 0.
vesk::Awaitable<int> serve(vesk::Vesk& engine, vesk::VeskKafkaFeed& feed, const Options& o, vesk::Logger logger) {
  auto& loop = vesk::EventLoop::running();
  asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  // Held since main() began: one that came during start-up is taken now, and stops the run cleanly.
  hold_stop_signals(false);
  auto stopping = vesk::Task<int>::create([](asio::signal_set& signals) -> vesk::Awaitable<int> {
    co_return co_await signals.async_wait(asio::use_awaitable);
  }(signals));
  // Ten years stands in for "never".
  const std::chrono::duration<double> run_for = o.run_for ? std::chrono::duration<double>(*o.run_for)
                                                          : std::chrono::hours(24 * 365 * 10);
  auto timer = vesk::Task<void>::create(vesk::sleep(run_for));
  auto caught_up = vesk::Task<void>::create(o.until_caught_up ? vesk::run_tool::until_caught_up(engine, feed, logger)
                                                              : vesk::sleep(std::chrono::hours(24 * 365 * 10)));
  const auto started = std::chrono::steady_clock::now();
  std::exception_ptr failure;  // of the watcher; the run still stops cleanly first
  std::unique_ptr<vesk::MetricsEndpoint> endpoint;
  if (o.metrics_port) {
    endpoint = vesk::serve_metrics(engine, {o.metrics_host.value_or("127.0.0.1"), *o.metrics_port,
                                            std::chrono::duration<double>(o.stall_seconds)});
    logger->info("Metrics at http://" + endpoint->host() + ":" + std::to_string(endpoint->port()) +
                 "/metrics, health at /healthz");
  }
  auto status_line = vesk::Task<void>::create(
      o.status_interval > 0 ? log_status(engine, std::chrono::duration<double>(o.status_interval), logger)
                            : vesk::sleep(std::chrono::hours(24 * 365 * 10)));
  auto refused = vesk::Task<void>::create(until_refused(feed));
  engine.start();
  co_await vesk::wait_any(stopping, timer, caught_up, refused);
  int status = 0;
  if (refused.done() && !refused.cancelled()) {
    logger->info("The Kafka cluster refused the credentials, stopping");
    status = 1;
  } else if (stopping.done() && !stopping.failed() && !stopping.cancelled()) {
    logger->info("Signal " + std::to_string(stopping.result()) + " received, stopping");
  } else if (caught_up.failed()) {
    failure = caught_up.error();
    logger->error("Cannot tell whether the run has caught up, stopping");
  } else if (caught_up.done()) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    logger->info("Caught up after " + seconds_text(seconds) + " s, stopping");
  } else {
    logger->info("Run time over, stopping");
  }
  signals.cancel();
  timer.cancel();
  caught_up.cancel();
  status_line.cancel();
  refused.cancel();
  co_await engine.stop();
  co_await feed.stop();
  logger->info("Stopped");
  if (failure) std::rethrow_exception(failure);
  co_return status;
}

}  // namespace

int main(int argc, char** argv) {
  hold_stop_signals(true);
  auto logger = std::make_shared<spdlog::logger>("vesk", std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  try {
    Options o;
    if (auto status = parse(argc, argv, o)) return *status;
    if (o.log_level) {
      logger->set_level(*vesk::parse_log_level(*o.log_level));
    } else if (const char* wanted = std::getenv("VESK_LOG_LEVEL"); wanted != nullptr && *wanted != '\0') {
      auto level = vesk::parse_log_level(wanted);
      if (!level) {
        throw UsageError(std::string("VESK_LOG_LEVEL needs one of trace, debug, info, warning, error, off, got '") +
                         wanted + "'");
      }
      logger->set_level(*level);
    }

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
      if (o.produce_lines_file) {
        auto messages = lines_of(*o.produce_lines_file);
        for (const auto& [key, value] : messages) kafka->produce(std::getenv("KAFKA_TOPIC"), -1, key, value);
        kafka->flush();
        logger->info("Produced " + std::to_string(messages.size()) + " messages from " + *o.produce_lines_file);
      }
    }

    std::shared_ptr<vesk::StreamHandlerBase> handler;
    try {
      handler = vesk::create_stream_handler(o.handler);
    } catch (const vesk::HandlerLookupError& e) {
      throw UsageError(std::string("cannot load the handler: ") + e.what());
    }
    std::shared_ptr<vesk::VeskKafkaFeed> feed;
    try {
      vesk::VeskKafkaFeed::ExtraProperties extra;
      for (const auto& property : o.kafka_properties) {
        const auto equals = property.find('=');
        extra[property.substr(0, equals)] = property.substr(equals + 1);  // a later KEY wins
      }
      check_kafka_properties(extra);
      auto kafka_feed = vesk::VeskKafkaFeed::from_env(logger, std::move(extra));
      kafka_feed->commit_stored_offsets = o.commit_offsets;
      kafka_feed->unhealthy_after = std::chrono::milliseconds(static_cast<std::int64_t>(o.unhealthy_after * 1000));
      feed = std::move(kafka_feed);
    } catch (const vesk::ValueError& e) {
      throw UsageError(e.what());
    }
    auto backend = make_backend(o, logger);

    vesk::EventLoop loop;
    vesk::Vesk engine(logger, backend, o.workers, std::chrono::duration<double>(o.checkpoint_interval));
    engine.release_deadline = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(o.release_timeout));
    engine.source(feed).process(handler);
    return loop.run_until_complete(serve(engine, *feed, o, logger));
  } catch (const UsageError& e) {
    std::cerr << "vesk-run: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "vesk-run: " << e.what() << "\n";
    return 1;
  }
}

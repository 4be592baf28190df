#include "vesk/vesk_metrics_endpoint/vesk_metrics_endpoint.hpp"

#include "vesk/loop/event_loop.hpp"

#include <httplib.h>
#include <asio/post.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <stdexcept>

namespace vesk {
namespace {

std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

std::string number(std::uint64_t value) { return std::to_string(value); }
std::string number(std::int64_t value) { return std::to_string(value); }

// Writes one family at a time: its HELP and TYPE lines, then a sample per partition that has
// a value for it.
class Exposition {
 public:
  explicit Exposition(const MetricsSnapshot& snapshot) : _snapshot(snapshot) {}

  void family(const char* name, const char* type, const char* help) {
    _out += "# HELP ";
    _out += name;
    _out += ' ';
    _out += help;
    _out += "\n# TYPE ";
    _out += name;
    _out += ' ';
    _out += type;
    _out += '\n';
  }
  void sample(const std::string& name, const std::string& labels, const std::string& value) {
    _out += name;
    if (!labels.empty()) _out += "{" + labels + "}";
    _out += ' ';
    _out += value;
    _out += '\n';
  }
  // A family with one sample per partition; `value` gives none where it is unknown.
  template <class Get>
  void per_partition(const char* name, const char* type, const char* help, Get value) {
    family(name, type, help);
    for (const auto& p : _snapshot.partitions) {
      if (auto v = value(p)) sample(name, partition_label(p), number(*v));
    }
  }
  static std::string partition_label(const PartitionSnapshot& p) {
    return "partition=\"" + std::to_string(p.partition) + "\"";
  }
  std::string take() { return std::move(_out); }

 private:
  const MetricsSnapshot& _snapshot;
  std::string _out;
};

template <class T>
std::optional<std::int64_t> as_int(const std::optional<T>& v) {
  if (!v) return std::nullopt;
  return static_cast<std::int64_t>(*v);
}

const char* state_name(MetricsSnapshot::EngineState state) {
  switch (state) {
    case MetricsSnapshot::EngineState::stopped: return "stopped";
    case MetricsSnapshot::EngineState::connecting: return "connecting";
    case MetricsSnapshot::EngineState::consuming: return "consuming";
  }
  return "unknown";
}

// The engine's own families: its state, assignments, rebalances and the source's health.
void engine_families(Exposition& e, const MetricsSnapshot& snapshot) {
  e.family("vesk_engine_state", "gauge", "1 for the engine's current state, 0 for the others.");
  for (auto state : {MetricsSnapshot::EngineState::stopped, MetricsSnapshot::EngineState::connecting,
                     MetricsSnapshot::EngineState::consuming}) {
    e.sample("vesk_engine_state", std::string("state=\"") + state_name(state) + "\"",
             state == snapshot.state ? "1" : "0");
  }
  e.family("vesk_assigned_partitions", "gauge", "Partitions assigned to this engine.");
  e.sample("vesk_assigned_partitions", "", number(static_cast<std::uint64_t>(snapshot.partitions.size())));
  e.family("vesk_rebalances_total", "counter", "Partition assignments the engine has received.");
  e.sample("vesk_rebalances_total", "", number(snapshot.rebalances));
  if (snapshot.source) {
    e.family("vesk_group_member", "gauge", "1 while the host is a member of its consumer group.");
    e.sample("vesk_group_member", "", snapshot.source->group_member ? "1" : "0");
    e.family("vesk_broker_contact_age_seconds", "gauge",
             "Time since a broker last answered (absent before the first answer).");
    if (auto age = snapshot.source->seconds_since_broker_contact)
      e.sample("vesk_broker_contact_age_seconds", "", number(*age));
    e.family("vesk_source_problems", "gauge", "Problems the source reports now (see /healthz).");
    e.sample("vesk_source_problems", "", number(static_cast<std::uint64_t>(snapshot.source->problems.size())));
  }
}

// The batch cycle's histogram, one series per partition.
void batch_cycle_histogram(Exposition& e, const MetricsSnapshot& snapshot) {
  e.family("vesk_batch_cycle_seconds", "histogram",
           "Time from handing a batch to the workers until all have drained it.");
  for (const auto& p : snapshot.partitions) {
    const std::string label = Exposition::partition_label(p);
    std::uint64_t cumulative = 0;
    const auto& h = p.metrics.batch_cycle;
    for (std::size_t i = 0; i < batch_cycle_bucket_bounds.size(); ++i) {
      cumulative += h.counts[i];
      e.sample("vesk_batch_cycle_seconds_bucket", label + ",le=\"" + number(batch_cycle_bucket_bounds[i]) + "\"",
               number(cumulative));
    }
    cumulative += h.counts.back();
    e.sample("vesk_batch_cycle_seconds_bucket", label + ",le=\"+Inf\"", number(cumulative));
    e.sample("vesk_batch_cycle_seconds_sum", label, number(h.sum_seconds));
    e.sample("vesk_batch_cycle_seconds_count", label, number(cumulative));
  }
}

}  // namespace

std::string prometheus_text(const MetricsSnapshot& snapshot) {
  using P = PartitionSnapshot;
  using Opt = std::optional<std::uint64_t>;
  using OptD = std::optional<double>;
  Exposition e(snapshot);
  engine_families(e, snapshot);

  e.per_partition("vesk_consumer_live", "gauge",
                  "1 while a consumer runs for the partition, 0 while it waits to be rebuilt.",
                  [](const P& p) { return Opt(p.consumer_live ? 1 : 0); });
  e.per_partition("vesk_messages_processed_total", "counter", "Messages drained by the partition's workers.",
                  [](const P& p) { return Opt(p.metrics.messages_processed); });
  e.per_partition("vesk_batches_total", "counter", "Batches drained by the partition's workers.",
                  [](const P& p) { return Opt(p.metrics.batches); });

  batch_cycle_histogram(e, snapshot);

  e.per_partition("vesk_offset", "gauge", "Offset of the next message to read, in memory.",
                  [](const P& p) { return p.metrics.offset; });
  e.per_partition("vesk_stored_offset", "gauge", "Offset of the next message to read, in the stored state.",
                  [](const P& p) { return p.metrics.stored_offset; });
  e.per_partition("vesk_high_watermark", "gauge",
                  "Offset one past the partition's last message, as the source knows it.",
                  [](const P& p) { return p.high_watermark; });
  e.per_partition("vesk_lag_messages", "gauge", "High watermark minus the offset in memory; absent while unknown.",
                  [](const P& p) { return p.lag; });
  e.per_partition("vesk_lag_known", "gauge",
                  "1 when the lag comes from a high watermark the source confirmed lately, 0 while it is unknown.",
                  [](const P& p) { return Opt(p.lag ? 1 : 0); });
  e.per_partition("vesk_checkpoint_keys", "gauge", "Keys in the last stored checkpoint.",
                  [](const P& p) { return as_int(p.metrics.checkpoint_keys); });
  e.per_partition("vesk_checkpoint_collection_seconds", "gauge",
                  "Time the last checkpoint took to collect the key states.",
                  [](const P& p) { return p.metrics.checkpoint_collection_seconds; });
  e.per_partition("vesk_checkpoint_save_seconds", "gauge", "Time the last checkpoint took to store the state.",
                  [](const P& p) { return p.metrics.checkpoint_save_seconds; });
  e.per_partition("vesk_checkpoint_total_seconds", "gauge", "Collection plus save time of the last checkpoint.",
                  [](const P& p) { return p.metrics.checkpoint_total_seconds; });
  e.per_partition("vesk_checkpoint_age_seconds", "gauge",
                  "Time since the partition's state was last stored (or restored).",
                  [](const P& p) { return OptD(p.seconds_since_checkpoint); });
  e.per_partition("vesk_checkpoint_failures_total", "counter", "Checkpoints that failed.",
                  [](const P& p) { return Opt(p.metrics.checkpoint_failures); });
  e.per_partition("vesk_consumer_recreations_total", "counter", "Consumers built again after one failed.",
                  [](const P& p) { return Opt(p.metrics.consumer_recreations); });
  e.per_partition("vesk_worker_exits_total", "counter", "Worker processes that ended while their consumer ran.",
                  [](const P& p) { return Opt(p.metrics.worker_exits); });
  return e.take();
}

HealthReport health_report(const MetricsSnapshot& snapshot, std::chrono::duration<double> stall) {
  auto unhealthy = nlohmann::json::array();
  for (const auto& p : snapshot.partitions) {
    std::string reason;
    if (!p.consumer_live) {
      reason = "no live consumer";
    } else if (p.lag.value_or(0) > 0 && p.seconds_since_progress && *p.seconds_since_progress > stall.count()) {
      char text[160];
      std::snprintf(text, sizeof text, "no progress for %.1f s with a lag of %lld messages", *p.seconds_since_progress,
                    static_cast<long long>(*p.lag));
      reason = text;
    }
    if (!reason.empty()) unhealthy.push_back({{"partition", p.partition}, {"reason", reason}});
  }
  HealthReport report;
  const bool source_healthy = !snapshot.source || snapshot.source->problems.empty();
  report.healthy = unhealthy.empty() && source_healthy;
  nlohmann::json body = {{"status", report.healthy ? "ok" : "unhealthy"},
                         {"assigned_partitions", snapshot.partitions.size()},
                         {"unhealthy", unhealthy}};
  if (snapshot.source) {
    const auto& source = *snapshot.source;
    if (!source_healthy) {
      std::string reason;
      for (const auto& problem : source.problems) reason += (reason.empty() ? "" : "; ") + problem;
      body["reason"] = reason;
    }
    body["group_member"] = source.group_member;
    if (source.seconds_since_broker_contact) {
      body["seconds_since_broker_contact"] = std::round(*source.seconds_since_broker_contact * 10) / 10;
    }
    // A group with more members than partitions leaves some with none: idle, not ill.
    if (source.group_member && snapshot.partitions.empty()) {
      body["note"] = "a member of its consumer group with no partitions assigned";
    }
  }
  report.json = body.dump() + "\n";
  return report;
}

// What the serving threads and the loop share: the engine may be reached only on the loop
// thread, and only while `alive` (also read and written only there).
struct MetricsEndpoint::Shared {
  Vesk* engine = nullptr;
  EventLoop* loop = nullptr;
  bool alive = true;
  std::atomic<bool> stopping{false};
};

MetricsEndpoint::MetricsEndpoint(Vesk& engine, MetricsEndpointOptions options)
    : _options(std::move(options)), _shared(std::make_shared<Shared>()), _server(std::make_unique<httplib::Server>()) {
  _shared->engine = &engine;
  _shared->loop = &EventLoop::running();
  // Few connections ever come (a scraper, a health probe): a small pool, and one request per
  // connection, since a connection kept open is polled every few milliseconds by its thread.
  _server->new_task_queue = [] { return new httplib::ThreadPool(2); };
  _server->set_keep_alive_max_count(1);
  _server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    auto snapshot = _snapshot();
    if (!snapshot) {
      response.status = 503;
      response.set_content("the engine's event loop did not answer\n", "text/plain");
      return;
    }
    response.set_content(prometheus_text(*snapshot), "text/plain; version=0.0.4; charset=utf-8");
  });
  _server->Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
    auto snapshot = _snapshot();
    if (!snapshot) {
      response.status = 503;
      response.set_content(R"({"status": "unhealthy", "reason": "the engine's event loop did not answer"})"
                           "\n",
                           "application/json");
      return;
    }
    auto report = health_report(*snapshot, _options.stall);
    response.status = report.healthy ? 200 : 503;
    response.set_content(report.json, "application/json");
  });
  if (_options.port == 0) {
    _port = _server->bind_to_any_port(_options.host.c_str());
  } else if (_server->bind_to_port(_options.host.c_str(), _options.port)) {
    _port = _options.port;
  } else {
    _port = -1;
  }
  if (_port < 0) {
    throw std::runtime_error("cannot serve metrics on " + _options.host + ":" + std::to_string(_options.port) +
                             " (in use, or not an address of this machine)");
  }
  _thread = std::thread([server = _server.get()] { server->listen_after_bind(); });
}

MetricsEndpoint::~MetricsEndpoint() {
  _shared->alive = false;
  _shared->stopping = true;
  _server->stop();
  if (_thread.joinable()) _thread.join();
}

std::optional<MetricsSnapshot> MetricsEndpoint::_snapshot() {
  auto promise = std::make_shared<std::promise<std::optional<MetricsSnapshot>>>();
  auto future = promise->get_future();
  asio::post(_shared->loop->context(), [shared = _shared, promise] {
    std::optional<MetricsSnapshot> snapshot;
    try {
      if (shared->alive) snapshot = shared->engine->metrics();
    } catch (...) {
      // Served as "not answering"; the engine itself goes on.
    }
    promise->set_value(std::move(snapshot));
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    if (_shared->stopping || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  }
  return future.get();
}

std::unique_ptr<MetricsEndpoint> serve_metrics(Vesk& engine, MetricsEndpointOptions options) {
  return std::make_unique<MetricsEndpoint>(engine, std::move(options));
}

}  // namespace vesk

#pragma once
// The engine's figures over HTTP: GET /metrics in the Prometheus text format (0.0.4) and
// GET /healthz (200, or 503 naming each unhealthy partition and the source's problems). It serves on its own threads
// and takes every snapshot on the event-loop thread, so the engine never waits for a scraper.
//
//   auto endpoint = vesk::serve_metrics(engine, {.host = "127.0.0.1", .port = 9464});  // on the loop thread
//   ...
//   endpoint.reset();  // before the engine, on the loop thread

#include "vesk/metrics.hpp"
#include "vesk/vesk.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace vesk {

struct MetricsEndpointOptions {
  std::string host = "127.0.0.1";
  int port = 9464;  // 0: any free port (see MetricsEndpoint::port())
  // A partition with lag that has drained no batch for this long is unhealthy.
  std::chrono::duration<double> stall = std::chrono::seconds(60);
};

// The Prometheus text exposition of a snapshot: vesk_ names, a "partition" label.
std::string prometheus_text(const MetricsSnapshot& snapshot);

// Whether the source reports no problem (no broker answering, out of its group) and every
// assigned partition has a live consumer and has made progress within `stall` or has no lag;
// `json` names each unhealthy partition and why, and the source's problems as "reason".
struct HealthReport {
  bool healthy = true;
  std::string json;
};
HealthReport health_report(const MetricsSnapshot& snapshot, std::chrono::duration<double> stall);

class MetricsEndpoint {
 public:
  // Binds at once (a port in use fails here with an error naming it) and starts serving. Call on
  // the engine's event-loop thread; destroy on that thread, before the engine.
  MetricsEndpoint(Vesk& engine, MetricsEndpointOptions options);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  int port() const noexcept { return _port; }
  const std::string& host() const noexcept { return _options.host; }

 private:
  struct Shared;
  // A snapshot taken on the loop thread; none when the loop does not answer within 2 s.
  std::optional<MetricsSnapshot> _snapshot();

  MetricsEndpointOptions _options;
  std::shared_ptr<Shared> _shared;
  std::unique_ptr<httplib::Server> _server;
  std::thread _thread;
  int _port = 0;
};

// Starts the endpoint in one call; see MetricsEndpoint.
std::unique_ptr<MetricsEndpoint> serve_metrics(Vesk& engine, MetricsEndpointOptions options = {});

}  // namespace vesk

// vesk-chaos: a fault-injection soak. Starts a mock Kafka cluster (vesk-kafka-mock) or a real
// three-node one (scripts/kafka-cluster), blob storage (Azurite) or a local state directory, a
// producer writing a known sequence, and several vesk-run hosts of examples.counting.OffsetLog in
// one consumer group. For the set time it kills, stops and restarts hosts, workers, the storage
// and (on the real cluster) one broker node at a time at random; then it lets the hosts catch up,
// stops everything and checks that no message was lost: every offset below a partition's stored
// offset is in its stored OffsetLog states, the stored offset is what was produced, and no
// process is left. Figures are printed as `name: value` lines; the exit status is 0 when every
// check holds, 1 when one fails (with the hosts' logs), 2 for a mistake in the call.

#include "cli_support.hpp"
#include "host_metrics.hpp"
#include "processes.hpp"
#include "producer.hpp"
#include "real_cluster.hpp"
#include "soak_logs.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_azure_blob_backend/blob_client.hpp"
#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <signal.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using vesk::chaos::Processes;

constexpr const char* topic_name = "chaos";
constexpr const char* group_id = "vesk-chaos";
constexpr const char* container_name = "vesk-chaos";
constexpr const char* handler_path = "examples.counting.OffsetLog";
constexpr const char* account_key =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

std::atomic<int> interrupted{0};

struct Options {
  double seconds = 90;
  std::optional<std::uint64_t> seed;
  int hosts = 3;
  int partitions = 8;
  int workers = 2;
  double rate = 200;
  int keys = 16;
  double checkpoint_interval = 1.0;
  std::string storage = "auto";
  std::string kafka = "mock";
  int min_faults = 0;
  double catch_up_limit = 300;
  std::optional<std::string> work_dir;
  bool keep = false;
  std::optional<std::string> vesk_run, kafka_mock, azurite, kafka_cluster;
  // The kinds of fault drawn from; all of them when empty.
  std::vector<std::string> faults;
};

constexpr const char* fault_kinds[] = {"host_kill", "worker_kill", "worker_stop", "storage_restart",
                                       "host_term", "broker_kill", "broker_stop"};

// Where a companion program is: the flag, then beside this program, then in the build tree.
std::string find_program(const std::optional<std::string>& given, const std::string& name, const char* built) {
  if (given) return *given;
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path beside = self.parent_path() / name;
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return built;
}

double uniform(std::mt19937_64& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Waits for a line holding `marker` in a child's log; returns the text after the marker.
std::optional<std::string> text_after(const std::string& log, const std::string& marker) {
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (auto at = line.find(marker); at != std::string::npos) return line.substr(at + marker.size());
  }
  return std::nullopt;
}

class Soak {
 public:
  explicit Soak(Options o) : _o(std::move(o)), _random(*_o.seed) {}

  int run();

 private:
  enum class Phase { up, stopping, down, starting };
  struct Host {
    int index = 0;
    pid_t pid = -1;
    int incarnation = 0;
    Phase phase = Phase::down;
    Clock::time_point restart_at;
    Clock::time_point stop_sent;
    Clock::time_point started;
    std::vector<std::string> logs;
    std::optional<int> metrics_port;  // of this incarnation, once its log has told it
  };
  struct Fault {
    std::string kind;
    std::int64_t at_ms = 0;  // wall clock, to compare with the hosts' log times
    Seconds since_start{0};
    std::string what;
  };

  void fail(const std::string& text) {
    std::cout << "FAIL: " << text << std::endl;
    _failures.push_back(text);
  }
  double elapsed() const { return Seconds(Clock::now() - _started).count(); }

  void setup();
  void start_azurite(int port);
  bool azurite_listening();
  void create_container();
  void start_host(Host& host);
  void start_mock();
  void start_real_cluster();
  // Moves a broker fault on: continues a stopped node, restarts a killed one, and marks the
  // node up again once every partition has all its replicas in sync.
  void tick_broker(Clock::time_point now);
  bool broker_up() const { return _broker.phase == Phase::up; }
  void tick();
  void sample();
  // Takes the host's counts from its /metrics, when it answers.
  void scrape(Host& host);
  void inject();
  void end_faults();
  std::optional<std::vector<vesk::PartitionState>> read_states(bool quiet);
  bool wait_caught_up(const std::vector<std::int64_t>& ends);
  void stop_hosts();
  // Waits `limit` for `pid`, sent SIGTERM already, to end; kills it when it does not, a failure
  // naming `what`. Its exit when it ended by itself.
  std::optional<vesk::chaos::Exit> wait_after_sigterm(pid_t pid, const std::string& what, std::chrono::seconds limit);
  void stop_services();
  void check_invariant(const std::vector<std::int64_t>& ends);
  void check_nothing_left();
  void print_figures(const std::vector<std::int64_t>& ends);
  void print_logs();
  void cleanup();

  Options _o;
  std::mt19937_64 _random;
  Processes _processes;
  fs::path _dir;
  Clock::time_point _started = Clock::now();
  std::string _vesk_run, _kafka_mock, _azurite;
  bool _use_azurite = false;

  pid_t _mock = -1;
  std::string _bootstrap;
  std::unique_ptr<vesk::chaos::RealCluster> _cluster;
  // The one broker node a fault holds down (at most one at a time).
  struct BrokerFault {
    Phase phase = Phase::up;
    int node = 0;
    pid_t pid = -1;
    bool stopped = false;  // SIGSTOP rather than SIGKILL
    Clock::time_point until;
    Clock::time_point since;
    Clock::time_point last_check;
    int starts = 0;   // the node's starts before the fault
    int in_sync = 0;  // checks in a row that found every replica in sync
  } _broker;
  std::string _kafka_cluster;
  Clock::time_point _last_broker_fault;
  std::unique_ptr<vesk::chaos::Producer> _producer;

  pid_t _azurite_pid = -1;
  int _azurite_port = 0;
  int _azurite_starts = 0;
  Phase _azurite_phase = Phase::down;
  Clock::time_point _azurite_restart_at;
  std::string _connection_string;

  std::vector<Host> _hosts;
  std::vector<std::pair<pid_t, Clock::time_point>> _paused;  // workers stopped, and when to continue them
  std::set<pid_t> _workers_seen;
  std::map<pid_t, Clock::time_point> _zombies_seen;
  std::set<pid_t> _zombies_reported;
  long _host_peak_kib = 0, _worker_peak_kib = 0;
  vesk::chaos::ProcessedCounts _processed;
  Clock::time_point _last_sample;
  Clock::time_point _last_scrape;

  std::vector<Fault> _faults;
  std::map<std::string, int> _faults_by_kind;
  std::vector<std::string> _failures;
  std::optional<std::vector<vesk::PartitionState>> _final;
  double _catch_up_seconds = 0;

  vesk::EventLoop _loop{2};
  std::shared_ptr<vesk::VeskFileBackend> _backend;
  std::unique_ptr<vesk::VeskStateStore> _store;
};

void Soak::start_mock() {
  const std::string log = (_dir / "kafka-mock.log").string();
  _mock = _processes.start({_kafka_mock, "--partitions", std::to_string(_o.partitions), "--topic", topic_name}, log);
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    std::ifstream in(log);
    std::string line;
    // Its first line on standard output is the bootstrap address.
    if (std::getline(in, line) && line.find(':') != std::string::npos && line.find(' ') == std::string::npos &&
        in.good()) {
      _bootstrap = line;
      return;
    }
    _processes.reap();
    if (_processes.exit_of(_mock)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("vesk-kafka-mock did not print its address; see " + log);
}

void Soak::start_real_cluster() {
  _cluster = std::make_unique<vesk::chaos::RealCluster>(_processes, _kafka_cluster, _dir);
  _cluster->start(std::chrono::seconds(180));
  _bootstrap = _cluster->bootstrap();
  _cluster->create_topic(topic_name, _o.partitions, std::chrono::seconds(60));
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!_cluster->fully_replicated(topic_name, std::chrono::milliseconds(2000))) {
    if (Clock::now() > deadline)
      throw std::runtime_error("topic " + std::string(topic_name) + " is not fully replicated after 60 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void Soak::tick_broker(Clock::time_point now) {
  if (!_cluster || _broker.phase == Phase::up) return;
  if (_broker.phase == Phase::down && now >= _broker.until) {
    if (_broker.stopped) {
      ::kill(_broker.pid, SIGCONT);
    } else {
      _cluster->restart_dead_nodes();
    }
    _broker.phase = Phase::starting;
  }
  if (_broker.phase == Phase::starting && now - _broker.last_check >= std::chrono::seconds(1)) {
    _broker.last_check = now;
    // The cluster notices a node's death only after its session (4 s): until then the replicas
    // still look in sync. So a killed node counts as back once it has logged a new start, and
    // either kind once every replica has looked in sync for three checks in a row.
    const bool restarted = _broker.stopped || _cluster->starts_of(_broker.node) > _broker.starts;
    const bool in_sync = restarted && _cluster->node_pid(_broker.node) &&
                         _cluster->fully_replicated(topic_name, std::chrono::milliseconds(1000));
    _broker.in_sync = in_sync ? _broker.in_sync + 1 : 0;
    if (_broker.in_sync >= 3) {
      _broker.phase = Phase::up;
      std::cout << "broker node " << _broker.node << " back in sync "
                << fixed(Seconds(Clock::now() - _broker.since).count(), 1) << " s after its fault" << std::endl;
    }
  }
}

void Soak::start_azurite(int port) {
  const std::string log = (_dir / ("azurite." + std::to_string(++_azurite_starts) + ".log")).string();
  // Kept on disk, so that the states survive a restart as they would on the real service.
  _azurite_pid = _processes.start(
      {_azurite, "--blobHost", "127.0.0.1", "--blobPort", std::to_string(port), "--location",
       (_dir / "azurite-data").string(), "--disableTelemetry", "--silent", "--skipApiVersionCheck"},
      log);
  _azurite_phase = Phase::starting;
}

bool Soak::azurite_listening() {
  const std::string log = (_dir / ("azurite." + std::to_string(_azurite_starts) + ".log")).string();
  auto port = text_after(log, "successfully listens on http://127.0.0.1:");
  if (!port) return false;
  _azurite_port = std::stoi(*port);
  return true;
}

void Soak::create_container() {
  _loop.run_until_complete([](std::string cs) -> vesk::Awaitable<void> {
    auto service = vesk::blob::BlobServiceClient::from_connection_string(cs);
    vesk::blob::AsyncBlobServiceClient client(service);
    co_await client.get_container_client(container_name).create();
  }(_connection_string));
}

void Soak::start_host(Host& host) {
  const std::string log =
      (_dir / ("host" + std::to_string(host.index) + "." + std::to_string(++host.incarnation) + ".log")).string();
  host.logs.push_back(log);
  // clang-format off: one flag and its value a line
  std::vector<std::string> argv{
      _vesk_run, "--handler", handler_path, "--workers", std::to_string(_o.workers), "--checkpoint-interval",
      fixed(_o.checkpoint_interval, 3), "--status-interval", "5", "--metrics-port", "0",
      // A host that dies is noticed, and a new one joins, within seconds
      // (a real broker refuses sessions under 6 s).
      "--kafka-property", _cluster ? "session.timeout.ms=6000" : "session.timeout.ms=3000", "--kafka-property",
      _cluster ? "heartbeat.interval.ms=1000" : "heartbeat.interval.ms=500"};
  // clang-format on
  if (!_use_azurite) {
    argv.push_back("--state-dir");
    argv.push_back((_dir / "state").string());
  }
  host.pid = _processes.start(argv, log);
  host.metrics_port.reset();
  host.phase = Phase::up;
  host.started = Clock::now();
}

void Soak::setup() {
  if (_o.work_dir) {
    _dir = *_o.work_dir;
    fs::create_directories(_dir);
  } else {
    std::string pattern = (fs::temp_directory_path() / "vesk-chaos.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a work directory");
    _dir = pattern;
  }
  std::cout << "work directory: " << _dir.string() << std::endl;
  auto logger = std::make_shared<spdlog::logger>("chaos", std::make_shared<spdlog::sinks::null_sink_mt>());
  if (_use_azurite) {
    start_azurite(0);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!azurite_listening()) {
      _processes.reap();
      if (_processes.exit_of(_azurite_pid) || Clock::now() > deadline) {
        throw std::runtime_error("Azurite did not start; see " + _dir.string() + "/azurite.1.log");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    _azurite_phase = Phase::up;
    _connection_string = std::string("DefaultEndpointsProtocol=http;AccountName=devstoreaccount1;AccountKey=") +
                         account_key + ";BlobEndpoint=http://127.0.0.1:" + std::to_string(_azurite_port) +
                         "/devstoreaccount1;";
    create_container();
    ::setenv("AZURE_STORAGE_CONNECTION_STRING", _connection_string.c_str(), 1);
    ::setenv("AZURE_STORAGE_CONTAINER_NAME", container_name, 1);
    ::setenv("AZURE_STORAGE_PREFIX", "", 1);
    _backend = vesk::VeskAzureBlobBackend::from_env(logger);
    std::cout << "storage: Azurite on port " << _azurite_port << std::endl;
  } else {
    ::unsetenv("AZURE_STORAGE_CONNECTION_STRING");
    fs::create_directories(_dir / "state");
    _backend = std::make_shared<vesk::VeskLocalFileBackend>((_dir / "state").string(), "");
    std::cout << "storage: directory " << (_dir / "state").string() << std::endl;
  }
  _store = std::make_unique<vesk::VeskStateStore>(_backend, logger);

  if (_o.kafka == "real") {
    start_real_cluster();
  } else {
    start_mock();
  }
  std::cout << "kafka: " << (_cluster ? "real cluster of 3 nodes at " : "") << _bootstrap << ", topic " << topic_name
            << " with " << _o.partitions << " partitions" << std::endl;
  ::setenv("KAFKA_BOOTSTRAP_SERVERS", _bootstrap.c_str(), 1);
  ::setenv("KAFKA_TOPIC", topic_name, 1);
  ::setenv("KAFKA_GROUP_ID", group_id, 1);
  const char* handlers = std::getenv("VESK_HANDLER_PATH");
  if ((handlers == nullptr || *handlers == '\0') && fs::is_directory(VESK_CHAOS_BUILD_HANDLERS)) {
    ::setenv("VESK_HANDLER_PATH", VESK_CHAOS_BUILD_HANDLERS, 1);
  }

  _producer = std::make_unique<vesk::chaos::Producer>(_bootstrap, topic_name, _o.partitions, _o.keys, _o.rate);
  _producer->start();
  for (int i = 0; i < _o.hosts; ++i) {
    _hosts.push_back(Host{});
    _hosts.back().index = i + 1;
    start_host(_hosts.back());
  }
}

// Reaps, notices processes that ended on their own, and carries out the scheduled restarts.
void Soak::tick() {
  _processes.reap();
  const auto now = Clock::now();
  if (auto e = _processes.exit_of(_mock)) throw std::runtime_error("vesk-kafka-mock ended (" + e->text() + ")");
  if (_cluster) {
    if (auto e = _processes.exit_of(_cluster->script_pid())) {
      throw std::runtime_error("kafka-cluster ended (" + e->text() + "); see " + _cluster->log_path());
    }
    tick_broker(now);
  }
  for (auto& host : _hosts) {
    auto e = host.pid > 0 ? _processes.exit_of(host.pid) : std::nullopt;
    if (host.phase == Phase::up && e) {
      fail("host " + std::to_string(host.index) + " (pid " + std::to_string(host.pid) + ") ended by itself with " +
           e->text() + "; see " + host.logs.back());
      host.phase = Phase::down;
      host.restart_at = now;
    } else if (host.phase == Phase::stopping && e) {
      if (!e->clean()) {
        fail("host " + std::to_string(host.index) + " ended with " + e->text() + " after SIGTERM; see " +
             host.logs.back());
      }
      host.phase = Phase::down;
      host.restart_at = now + std::chrono::milliseconds(static_cast<int>(uniform(_random, 0, 2000)));
    } else if (host.phase == Phase::stopping && now - host.stop_sent > std::chrono::seconds(60)) {
      fail("host " + std::to_string(host.index) + " did not stop within 60 s of SIGTERM; killed");
      ::kill(host.pid, SIGKILL);
      host.stop_sent = now;
    }
    if (host.phase == Phase::down && now >= host.restart_at) start_host(host);
  }
  for (auto it = _paused.begin(); it != _paused.end();) {
    if (now >= it->second) {
      ::kill(it->first, SIGCONT);
      it = _paused.erase(it);
    } else {
      ++it;
    }
  }
  if (_use_azurite) {
    auto e = _processes.exit_of(_azurite_pid);
    if ((_azurite_phase == Phase::up || _azurite_phase == Phase::starting) && e) {
      if (_azurite_phase == Phase::up) fail("Azurite ended by itself with " + e->text());
      // A start may fail while the port is still held: try again shortly.
      _azurite_phase = Phase::down;
      _azurite_restart_at = now + std::chrono::milliseconds(500);
    } else if (_azurite_phase == Phase::stopping && e) {
      _azurite_phase = Phase::down;
      _azurite_restart_at = now + std::chrono::milliseconds(static_cast<int>(uniform(_random, 1000, 4000)));
    }
    if (_azurite_phase == Phase::down && now >= _azurite_restart_at) start_azurite(_azurite_port);
    if (_azurite_phase == Phase::starting && azurite_listening()) {
      _azurite_phase = Phase::up;
      create_container();  // kept on disk, so normally there already
    }
  }
  if (now - _last_sample >= std::chrono::seconds(1)) sample();
  // Often: a host lists only the partitions it holds, so the count of one that moves away is
  // last seen here.
  if (now - _last_scrape >= std::chrono::milliseconds(250)) {
    _last_scrape = now;
    for (auto& host : _hosts) {
      if (host.phase == Phase::up || host.phase == Phase::stopping) scrape(host);
    }
  }
}

void Soak::scrape(Host& host) {
  if (!host.metrics_port) {
    auto port = text_after(host.logs.back(), "Metrics at http://127.0.0.1:");
    if (!port) return;  // not serving yet
    host.metrics_port = std::stoi(*port);
  }
  if (auto text = vesk::chaos::fetch_metrics(*host.metrics_port)) {
    _processed.record(host.logs.back(), vesk::chaos::processed_per_partition(*text));
  }
}

// Peak memory of hosts and workers, the workers of every host, and zombies they leave.
void Soak::sample() {
  _last_sample = Clock::now();
  for (auto& host : _hosts) {
    if (host.phase != Phase::up && host.phase != Phase::stopping) continue;
    if (auto kib = vesk::chaos::peak_rss_kib(host.pid)) _host_peak_kib = std::max(_host_peak_kib, *kib);
    for (pid_t w : vesk::chaos::children_of(host.pid, "vesk_worker_host")) {
      _workers_seen.insert(w);
      if (auto kib = vesk::chaos::peak_rss_kib(w)) _worker_peak_kib = std::max(_worker_peak_kib, *kib);
    }
    for (pid_t z : vesk::chaos::zombies_of(host.pid)) {
      auto [it, fresh] = _zombies_seen.emplace(z, _last_sample);
      if (!fresh && _last_sample - it->second > std::chrono::seconds(10) && _zombies_reported.insert(z).second) {
        fail("host " + std::to_string(host.index) + " has left its child " + std::to_string(z) +
             " a zombie for over 10 s");
      }
    }
  }
}

void Soak::inject() {
  std::vector<Host*> up;
  for (auto& host : _hosts) {
    if (host.phase == Phase::up) up.push_back(&host);
  }
  // A host is signalled once it has had a second to start: a signal before its main() would end
  // it whatever it does.
  std::vector<Host*> settled;
  for (Host* host : up) {
    if (Clock::now() - host->started >= std::chrono::seconds(1)) settled.push_back(host);
  }
  const bool all_up = settled.size() == _hosts.size();
  // Workers of the hosts that run, for the worker faults.
  std::vector<std::pair<Host*, pid_t>> workers;
  for (Host* host : up) {
    for (pid_t w : vesk::chaos::children_of(host->pid, "vesk_worker_host")) {
      bool paused = std::any_of(_paused.begin(), _paused.end(), [&](const auto& p) { return p.first == w; });
      if (!paused) workers.emplace_back(host, w);
    }
  }
  auto available = [&](const std::string& kind) {
    if (kind == "host_kill" || kind == "host_term") return all_up;  // one host down at a time
    if (kind == "worker_kill" || kind == "worker_stop") return !workers.empty();
    if (kind == "broker_kill" || kind == "broker_stop") return _cluster && broker_up();  // one node down at a time
    return _use_azurite ? _azurite_phase == Phase::up : false;
  };
  auto chosen = [&](const std::string& kind) {
    return _o.faults.empty() || std::find(_o.faults.begin(), _o.faults.end(), kind) != _o.faults.end();
  };
  // Drawn among the kinds that can happen now, so that faults keep coming and none crowds out another.
  std::vector<std::string> possible;
  for (const char* kind : fault_kinds) {
    if (chosen(kind) && available(kind)) possible.push_back(kind);
  }
  if (possible.empty()) return;
  std::string kind = possible[std::uniform_int_distribution<std::size_t>(0, possible.size() - 1)(_random)];
  // Broker faults come at least every 12 s while a node can go down, killed and stopped in turn,
  // so that a run of any length has both.
  const auto now_point = Clock::now();
  if (_cluster && chosen("broker_kill") && chosen("broker_stop") && available("broker_kill") &&
      now_point - _last_broker_fault >= std::chrono::seconds(12)) {
    kind = _faults_by_kind["broker_kill"] > _faults_by_kind["broker_stop"] ? "broker_stop" : "broker_kill";
  }
  if (kind.starts_with("broker_")) _last_broker_fault = now_point;
  Fault fault{
      kind,
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count(),
      Seconds(elapsed()), ""};
  const auto now = Clock::now();
  if (kind == "host_kill" || kind == "host_term") {
    Host& host = *settled[std::uniform_int_distribution<std::size_t>(0, settled.size() - 1)(_random)];
    if (auto kib = vesk::chaos::peak_rss_kib(host.pid)) _host_peak_kib = std::max(_host_peak_kib, *kib);
    scrape(host);  // what it has processed up to now goes with it
    if (kind == "host_kill") {
      ::kill(host.pid, SIGKILL);
      host.phase = Phase::down;
      const double pause = uniform(_random, 0.5, 5.0);
      host.restart_at = now + std::chrono::milliseconds(static_cast<int>(pause * 1000));
      fault.what = "SIGKILL host " + std::to_string(host.index) + " (pid " + std::to_string(host.pid) +
                   "), restart in " + fixed(pause, 1) + " s";
    } else {
      ::kill(host.pid, SIGTERM);
      host.phase = Phase::stopping;
      host.stop_sent = now;
      fault.what = "SIGTERM host " + std::to_string(host.index) + " (pid " + std::to_string(host.pid) +
                   "), then restart";
    }
  } else if (kind == "worker_kill" || kind == "worker_stop") {
    auto [host, worker] = workers[std::uniform_int_distribution<std::size_t>(0, workers.size() - 1)(_random)];
    if (kind == "worker_kill") {
      ::kill(worker, SIGKILL);
      fault.what = "SIGKILL worker " + std::to_string(worker) + " of host " + std::to_string(host->index);
    } else {
      const double pause = uniform(_random, 2.0, 5.0);
      ::kill(worker, SIGSTOP);
      _paused.emplace_back(worker, now + std::chrono::milliseconds(static_cast<int>(pause * 1000)));
      fault.what = "SIGSTOP worker " + std::to_string(worker) + " of host " + std::to_string(host->index) +
                   ", SIGCONT in " + fixed(pause, 1) + " s";
    }
  } else if (kind == "broker_kill" || kind == "broker_stop") {
    const int node = std::uniform_int_distribution<int>(1, vesk::chaos::RealCluster::nodes)(_random);
    const auto pid = _cluster->node_pid(node);
    if (!pid) return;  // not running after all: drawn again with the next fault
    _broker = BrokerFault{Phase::down, node, *pid, kind == "broker_stop", now, now, now, _cluster->starts_of(node), 0};
    // A killed node is restarted after 1 to 5 s, a stopped one goes on after 2 to 10 s.
    const double pause = _broker.stopped ? uniform(_random, 2.0, 10.0) : uniform(_random, 1.0, 5.0);
    ::kill(*pid, _broker.stopped ? SIGSTOP : SIGKILL);
    _broker.until = now + std::chrono::milliseconds(static_cast<int>(pause * 1000));
    fault.what = std::string(_broker.stopped ? "SIGSTOP" : "SIGKILL") + " broker node " + std::to_string(node) +
                 " (pid " + std::to_string(*pid) + "), " + (_broker.stopped ? "SIGCONT in " : "restart in ") +
                 fixed(pause, 1) + " s";
  } else {
    ::kill(_azurite_pid, SIGTERM);
    _azurite_phase = Phase::stopping;
    fault.what = "SIGTERM Azurite (pid " + std::to_string(_azurite_pid) + "), restart after 1 to 4 s";
  }
  std::cout << "fault " << _faults.size() + 1 << " at " << fixed(fault.since_start.count(), 1) << " s: " << fault.what
            << std::endl;
  ++_faults_by_kind[kind];
  _faults.push_back(std::move(fault));
}

// Ends every fault still in effect: stopped workers go on, hosts and storage are up again.
void Soak::end_faults() {
  for (auto& [worker, when] : _paused) ::kill(worker, SIGCONT);
  _paused.clear();
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  for (;;) {
    for (auto& host : _hosts) {
      if (host.phase == Phase::down) host.restart_at = Clock::now();
    }
    if (_use_azurite && _azurite_phase == Phase::down) _azurite_restart_at = Clock::now();
    if (_broker.phase == Phase::down) _broker.until = Clock::now();
    tick();
    bool settled = std::all_of(_hosts.begin(), _hosts.end(), [](const Host& h) { return h.phase == Phase::up; }) &&
                   (!_use_azurite || _azurite_phase == Phase::up) && broker_up();
    if (settled) return;
    if (Clock::now() > deadline) {
      throw std::runtime_error("the hosts, the storage and the brokers did not come back within 120 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<std::vector<vesk::PartitionState>> Soak::read_states(bool quiet) {
  try {
    return _loop.run_until_complete(
        [](vesk::VeskStateStore& store, int partitions) -> vesk::Awaitable<std::vector<vesk::PartitionState>> {
          std::vector<vesk::PartitionState> states;
          for (int p = 0; p < partitions; ++p) {
            auto state = co_await store.get_partition_state(p);
            states.push_back(state ? std::move(*state) : vesk::PartitionState{p, 0, {}});
          }
          co_return states;
        }(*_store, _o.partitions));
  } catch (const std::exception& e) {
    if (!quiet) fail(std::string("cannot read the stored states: ") + e.what());
    return std::nullopt;
  }
}

bool Soak::wait_caught_up(const std::vector<std::int64_t>& ends) {
  const auto started = Clock::now();
  const auto deadline = started + Seconds(_o.catch_up_limit);
  std::string behind;
  while (Clock::now() < deadline && !interrupted) {
    auto states = read_states(true);
    if (states) {
      behind.clear();
      for (int p = 0; p < _o.partitions; ++p) {
        const auto offset = (*states)[static_cast<std::size_t>(p)].offset;
        if (offset != ends[static_cast<std::size_t>(p)]) {
          behind += " p" + std::to_string(p) + " at " + std::to_string(offset) + " of " +
                    std::to_string(ends[static_cast<std::size_t>(p)]);
        }
      }
      if (behind.empty()) {
        _catch_up_seconds = Seconds(Clock::now() - started).count();
        return true;
      }
    }
    const auto until = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < until) {
      tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  fail("the stored offsets did not reach the end of the partitions within " + fixed(_o.catch_up_limit, 0) +
       " s:" + behind);
  return false;
}

void Soak::stop_hosts() {
  sample();
  for (auto& host : _hosts) {
    if (host.phase == Phase::up) scrape(host);
  }
  for (auto& host : _hosts) {
    if (host.phase == Phase::up) ::kill(host.pid, SIGTERM);
    host.phase = Phase::stopping;
  }
  for (auto& host : _hosts) {
    auto e = wait_after_sigterm(host.pid, "host " + std::to_string(host.index), std::chrono::seconds(60));
    if (e && !e->clean()) {
      fail("host " + std::to_string(host.index) + " ended with " + e->text() + " after SIGTERM; see " +
           host.logs.back());
    }
    host.phase = Phase::down;
  }
}

std::optional<vesk::chaos::Exit> Soak::wait_after_sigterm(pid_t pid, const std::string& what,
                                                          std::chrono::seconds limit) {
  auto e = _processes.wait(pid, limit);
  if (!e) {
    fail(what + " did not stop within " + std::to_string(limit.count()) + " s of SIGTERM; killed");
    ::kill(pid, SIGKILL);
    _processes.wait(pid, std::chrono::seconds(10));
  }
  return e;
}

void Soak::stop_services() {
  if (_cluster && !_processes.exit_of(_cluster->script_pid())) {
    ::kill(_cluster->script_pid(), SIGTERM);
    auto e = wait_after_sigterm(_cluster->script_pid(), "kafka-cluster", std::chrono::seconds(60));
    if (e && !e->clean()) {
      fail("kafka-cluster ended with " + e->text() + " after SIGTERM; see " + _cluster->log_path());
    }
  }
  for (auto [pid, name] : {std::pair<pid_t, const char*>{_mock, "vesk-kafka-mock"}, {_azurite_pid, "Azurite"}}) {
    if (pid <= 0 || _processes.exit_of(pid)) continue;
    ::kill(pid, SIGTERM);
    auto e = wait_after_sigterm(pid, name, std::chrono::seconds(30));
    if (e && pid == _mock && !e->clean()) {
      fail(std::string(name) + " ended with " + e->text() + " after SIGTERM");
    }
  }
}

void Soak::check_invariant(const std::vector<std::int64_t>& ends) {
  _final = read_states(false);
  if (!_final) return;
  for (int p = 0; p < _o.partitions; ++p) {
    const auto& state = (*_final)[static_cast<std::size_t>(p)];
    const auto end = ends[static_cast<std::size_t>(p)];
    if (state.offset != end) {
      fail("partition " + std::to_string(p) + ": stored offset " + std::to_string(state.offset) + ", produced " +
           std::to_string(end));
    }
  }
}

void Soak::check_nothing_left() {
  // Workers die with their host; on a loaded machine that may take a few seconds.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::vector<std::string> left;
  for (;;) {
    _processes.reap();
    left.clear();
    for (pid_t w : _workers_seen) {
      bool zombie = false;
      if (vesk::chaos::exists(w, &zombie) &&
          vesk::chaos::command_line(w).find("vesk_worker_host") != std::string::npos) {
        left.push_back("worker " + std::to_string(w));
      }
    }
    for (pid_t c : vesk::chaos::children_of(::getpid(), ""))
      left.push_back("process " + std::to_string(c) + " (" + vesk::chaos::command_line(c) + ")");
    if (left.empty() || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (pid_t z : vesk::chaos::zombies_of(::getpid())) left.push_back("zombie " + std::to_string(z));
  for (const auto& what : left) fail(what + " is left after the run");
}

void Soak::print_figures(const std::vector<std::int64_t>& ends) {
  std::vector<std::string> logs;
  for (const auto& host : _hosts) logs.insert(logs.end(), host.logs.begin(), host.logs.end());
  const auto summary = vesk::chaos::read_host_logs(logs);

  std::int64_t produced = 0, lost = 0, repeated = 0, ahead = 0;
  for (int p = 0; p < _o.partitions; ++p) {
    const auto end = ends[static_cast<std::size_t>(p)];
    produced += end;
    if (!_final) continue;
    const auto& state = (*_final)[static_cast<std::size_t>(p)];
    std::vector<int> seen(static_cast<std::size_t>(std::max<std::int64_t>(end, state.offset)), 0);
    for (const auto& [key, value] : state.state) {
      if (!value.is_list()) {
        fail("partition " + std::to_string(p) + ": the state of a key is not a list of offsets");
        continue;
      }
      for (const auto& offset : value.as_list()) {
        const auto o = offset.is_int() ? offset.as_int() : -1;
        if (o < 0 || o >= state.offset) {
          ++ahead;  // an offset the stored position says was not read yet
        } else {
          ++seen[static_cast<std::size_t>(o)];
        }
      }
    }
    for (std::int64_t o = 0; o < state.offset; ++o) {
      const int n = seen[static_cast<std::size_t>(o)];
      if (n == 0) ++lost;
      if (n > 1) repeated += n - 1;
    }
  }
  if (!_final) lost = produced;
  if (lost > 0) fail(std::to_string(lost) + " offsets below the stored offsets are in no stored state");
  if (repeated > 0) fail(std::to_string(repeated) + " offsets are stored twice in one partition's states");
  if (ahead > 0) fail(std::to_string(ahead) + " stored offsets are at or past their partition's stored offset");

  // The longest wait, over all faults, until every partition had stored a checkpoint after it.
  double longest = 0;
  std::string longest_what = "none";
  for (const auto& fault : _faults) {
    for (int p = 0; p < _o.partitions; ++p) {
      auto next = summary.next_checkpoint(p, fault.at_ms);
      if (!next) {
        fail("partition " + std::to_string(p) + " stored no checkpoint after fault at " +
             fixed(fault.since_start.count(), 1) + " s (" + fault.what + ")");
        continue;
      }
      const double wait = static_cast<double>(*next - fault.at_ms) / 1000.0;
      if (wait > longest) {
        longest = wait;
        longest_what = "partition " + std::to_string(p) + " after fault " +
                       std::to_string(&fault - _faults.data() + 1) + " (" + fault.what + ")";
      }
    }
  }
  const int faults = static_cast<int>(_faults.size());
  if (faults < _o.min_faults) {
    fail(std::to_string(faults) + " faults injected, fewer than the " + std::to_string(_o.min_faults) + " asked for");
  }
  if (_cluster && _o.min_faults > 0 && (_faults_by_kind["broker_kill"] == 0 || _faults_by_kind["broker_stop"] == 0)) {
    fail("no broker node was both killed and stopped");
  }

  std::cout << "seed: " << *_o.seed << "\n";
  std::cout << "seconds: " << fixed(_o.seconds, 0) << "\n";
  std::cout << "storage: " << (_use_azurite ? "azurite" : "directory") << "\n";
  std::cout << "kafka: " << _o.kafka << "\n";
  for (const char* kind : fault_kinds) {
    std::cout << "faults_" << kind << ": " << _faults_by_kind[kind] << "\n";
  }
  std::cout << "faults: " << faults << "\n";
  std::cout << "produced: " << produced << "\n";
  std::cout << "lost: " << lost << "\n";
  // Messages processed more than once: what every host's /metrics last counted, less the produced.
  const auto processed = static_cast<std::int64_t>(_processed.total());
  std::cout << "duplicates: " << std::max<std::int64_t>(0, processed - produced) << "\n";
  std::cout << "fault_to_checkpoint_longest_s: " << fixed(longest, 3) << "\n";
  std::cout << "fault_to_checkpoint_longest_of: " << longest_what << "\n";
  std::cout << "catch_up_s: " << fixed(_catch_up_seconds, 3) << "\n";
  std::cout << "host_starts: " << summary.files << "\n";
  std::cout << "host_error_lines: " << summary.error_lines << "\n";
  std::cout << "host_peak_rss_mib: " << fixed(static_cast<double>(_host_peak_kib) / 1024.0, 1) << "\n";
  std::cout << "worker_peak_rss_mib: " << fixed(static_cast<double>(_worker_peak_kib) / 1024.0, 1) << "\n";
  std::cout << "workers_seen: " << _workers_seen.size() << "\n";
  std::cout << "orphans_reaped: " << _processes.orphans_reaped() << "\n";
  std::cout << "producer_failed: " << (_producer ? _producer->failed() : 0) << "\n";
  std::cout.flush();
}

void Soak::print_logs() {
  for (const auto& host : _hosts) {
    for (const auto& text : vesk::chaos::log_excerpt(host.logs, 40, 20)) {
      std::cout << "host" << host.index << " | " << text << "\n";
    }
  }
  std::cout << "all logs are kept in " << _dir.string() << std::endl;
}

void Soak::cleanup() {
  if (_broker.phase == Phase::down && _broker.stopped) ::kill(_broker.pid, SIGCONT);
  for (auto& [worker, when] : _paused) ::kill(worker, SIGCONT);
  _paused.clear();
  _processes.kill_all();
  _processes.reap();
}

int Soak::run() {
  std::cout << "seed: " << *_o.seed << std::endl;
  _vesk_run = find_program(_o.vesk_run, "vesk-run", VESK_CHAOS_BUILD_VESK_RUN);
  _kafka_mock = find_program(_o.kafka_mock, "vesk-kafka-mock", VESK_CHAOS_BUILD_KAFKA_MOCK);
  _kafka_cluster = _o.kafka_cluster.value_or(VESK_CHAOS_BUILD_KAFKA_CLUSTER);
  if (_o.kafka == "real" && ::access(_kafka_cluster.c_str(), X_OK) != 0) {
    throw vesk::cli::UsageError("kafka-cluster is not at " + _kafka_cluster + " (give --kafka-cluster)");
  }
  _azurite = _o.azurite.value_or(VESK_CHAOS_BUILD_AZURITE);
  const bool have_azurite = ::access(_azurite.c_str(), X_OK) == 0;
  if (_o.storage == "azurite" && !have_azurite) {
    throw vesk::cli::UsageError("Azurite is not at " + _azurite + " (run scripts/install-deps, or give --azurite)");
  }
  _use_azurite = _o.storage == "azurite" || (_o.storage == "auto" && have_azurite);
  std::vector<std::int64_t> ends(static_cast<std::size_t>(_o.partitions), 0);
  try {
    setup();
    // Faults begin once every partition has stored a checkpoint with messages in it.
    const auto ready_by = Clock::now() + std::chrono::seconds(180);
    for (;;) {
      auto states = read_states(true);
      if (states && std::all_of(states->begin(), states->end(), [](const auto& s) { return s.offset > 0; })) break;
      if (Clock::now() > ready_by) throw std::runtime_error("the partitions stored no checkpoint within 180 s");
      if (interrupted) throw std::runtime_error("interrupted");
      for (int i = 0; i < 20; ++i) {
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    std::cout << "every partition has stored a checkpoint after " << fixed(elapsed(), 1) << " s; faults begin"
              << std::endl;
    const auto faults_end = Clock::now() + Seconds(_o.seconds);
    auto next_fault = Clock::now() + std::chrono::milliseconds(static_cast<int>(uniform(_random, 1500, 3500)));
    while (Clock::now() < faults_end && !interrupted) {
      tick();
      if (Clock::now() >= next_fault) {
        inject();
        next_fault = Clock::now() + std::chrono::milliseconds(static_cast<int>(uniform(_random, 1500, 3500)));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (interrupted) throw std::runtime_error("interrupted");
    std::cout << "faults end after " << fixed(elapsed(), 1) << " s; hosts and storage come back" << std::endl;
    end_faults();
    _producer->stop(std::chrono::seconds(30));
    ends = _producer->end_offsets(std::chrono::seconds(10));
    std::cout << "producer stopped; waiting for the stored offsets to reach the end of every partition" << std::endl;
    wait_caught_up(ends);
    stop_hosts();
    check_invariant(ends);
    _producer.reset();
    stop_services();
    check_nothing_left();
  } catch (const vesk::cli::UsageError&) {
    cleanup();
    throw;
  } catch (const std::exception& e) {
    fail(e.what());
    cleanup();
  }
  print_figures(ends);
  if (!_failures.empty()) {
    print_logs();
    std::cout << "result: FAIL (" << _failures.size() << " problems; seed " << *_o.seed << ")" << std::endl;
    return 1;
  }
  std::cout << "result: PASS" << std::endl;
  if (!_o.keep && !_o.work_dir) fs::remove_all(_dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Fault-injection soak: several vesk-run hosts of examples.counting.OffsetLog on a mock or a real Kafka "
      "cluster, killed, stopped and restarted at random, then a check that no message was lost.",
      "vesk-chaos");
  app.footer(
      "Figures are printed as name: value lines. Exit status 0: every check held; 1: one failed (the hosts' "
      "logs follow); 2: a mistake in the call.");
  Options o;
  auto positive_seconds = vesk::cli::needs("needs a number of seconds above 0", vesk::cli::seconds_above_zero);
  auto whole = [](long long low, long long high) {
    return vesk::cli::needs("needs a whole number from " + std::to_string(low) + " to " + std::to_string(high),
                            [=](const std::string& t) { return vesk::cli::whole_number_in(t, low, high); });
  };
  app.add_option("--seconds", o.seconds, "How long faults are injected")
      ->type_name("S")
      ->required()
      ->check(positive_seconds);
  app.add_option("--seed", o.seed, "Seed of the fault schedule (default: a random one, printed)")
      ->type_name("N")
      ->check(whole(0, 9223372036854775807LL));
  app.add_option("--hosts", o.hosts, "vesk-run hosts (default 3)")->type_name("H")->check(whole(1, 16));
  app.add_option("--partitions", o.partitions, "Partitions of the topic (default 8)")
      ->type_name("N")
      ->check(whole(1, 64));
  app.add_option("--workers", o.workers, "Workers per partition (default 2)")->type_name("N")->check(whole(1, 16));
  app.add_option("--rate", o.rate, "Messages per second produced (default 200)")
      ->type_name("N")
      ->check(vesk::cli::needs("needs a number above 0", vesk::cli::seconds_above_zero));
  app.add_option("--checkpoint-interval", o.checkpoint_interval, "Seconds between checkpoints (default 1)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  app.add_option("--storage", o.storage, "azurite, directory, or auto: Azurite when installed (default)")
      ->type_name("KIND")
      ->check(vesk::cli::needs("needs azurite, directory or auto",
                               [](const std::string& t) { return t == "azurite" || t == "directory" || t == "auto"; }));
  app.add_option("--kafka", o.kafka,
                 "mock: vesk-kafka-mock (default); real: three KRaft nodes of scripts/kafka-cluster, with a topic "
                 "replicated on all three (min.insync.replicas 2), and broker nodes killed (restarted after 1-5 s) "
                 "or stopped (for 2-10 s), one at a time")
      ->type_name("KIND")
      ->check(vesk::cli::needs("needs mock or real", [](const std::string& t) { return t == "mock" || t == "real"; }));
  app.add_option("--min-faults", o.min_faults, "Fail when fewer faults were injected (default 0)")
      ->type_name("N")
      ->check(whole(0, 1000000));
  app.add_option("--catch-up-limit", o.catch_up_limit, "Seconds allowed to catch up after the faults (default 300)")
      ->type_name("SECONDS")
      ->check(positive_seconds);
  app.add_option("--work-dir", o.work_dir,
                 "Keep logs and state here (default: a new temporary directory, removed "
                 "after a passing run)")
      ->type_name("DIR");
  app.add_option("--faults", o.faults,
                 "Only these kinds of fault: host_kill, worker_kill, worker_stop, storage_restart, host_term, "
                 "broker_kill, broker_stop (default: all)")
      ->type_name("KIND,...")
      ->delimiter(',')
      ->check(vesk::cli::needs("needs host_kill, worker_kill, worker_stop, storage_restart, host_term, broker_kill "
                               "or broker_stop",
                               [](const std::string& t) {
                                 return std::find(std::begin(fault_kinds), std::end(fault_kinds), t) !=
                                        std::end(fault_kinds);
                               }));
  app.add_flag("--keep", o.keep, "Keep the temporary directory after a passing run");
  app.add_option("--vesk-run", o.vesk_run, "The vesk-run program (default: beside this one)")->type_name("PATH");
  app.add_option("--kafka-mock", o.kafka_mock, "The vesk-kafka-mock program (default: beside this one)")
      ->type_name("PATH");
  app.add_option("--azurite", o.azurite, "The azurite-blob program")->type_name("PATH");
  app.add_option("--kafka-cluster", o.kafka_cluster, "The kafka-cluster script (default: the source tree's)")
      ->type_name("PATH");
  vesk::cli::setup(app);
  if (auto status = vesk::cli::parse(app, argc, argv)) return *status;
  // Within what --seed accepts, so that every printed seed can be given back.
  if (!o.seed) o.seed = (std::random_device{}() ^ (static_cast<std::uint64_t>(std::random_device{}()) << 32)) >> 1;
  // The mock cluster keeps about 5 MiB per partition; a run that would outgrow it is refused.
  const double bytes_per_partition = o.rate * (o.seconds + 300) / o.partitions * 120;
  if (o.kafka == "mock" && bytes_per_partition > 4.0 * 1024 * 1024) {
    return vesk::cli::report_usage_error(app, "--rate " + fixed(o.rate, 0) + " for " + fixed(o.seconds, 0) +
                                                  " s would outgrow the mock cluster's 5 MiB per partition");
  }

  struct sigaction on_signal {};
  on_signal.sa_handler = [](int signal) { interrupted = signal; };
  sigemptyset(&on_signal.sa_mask);
  ::sigaction(SIGINT, &on_signal, nullptr);
  ::sigaction(SIGTERM, &on_signal, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  try {
    Soak soak(o);
    return soak.run();
  } catch (const vesk::cli::UsageError& e) {
    std::cerr << "vesk-chaos: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "vesk-chaos: " << e.what() << "\n";
    return 1;
  }
}

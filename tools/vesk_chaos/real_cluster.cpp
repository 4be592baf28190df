#include "real_cluster.hpp"

#include <signal.h>

#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vesk::chaos {

RealCluster::RealCluster(Processes& processes, std::string script, std::filesystem::path dir)
    : _processes(processes), _script(std::move(script)), _dir(std::move(dir)) {}

RealCluster::~RealCluster() = default;

void RealCluster::start(std::chrono::seconds limit) {
  const std::string log = log_path();
  const pid_t pid = _processes.start({_script, "--dir", (_dir / "kafka").string(), "--nodes", std::to_string(nodes)},
                                     log);
  _script_pid = pid;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (_bootstrap.empty()) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("bootstrap: ", 0) == 0 && in.good()) _bootstrap = line.substr(11);
    }
    if (!_bootstrap.empty()) break;
    _processes.reap();
    if (_processes.exit_of(pid) || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("kafka-cluster did not print its address; see " + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char error[512];
  const std::pair<const char*, const char*> settings[] = {{"bootstrap.servers", _bootstrap.c_str()},
                                                          {"log_level", "0"}};
  for (const auto& [name, value] : settings) {
    if (rd_kafka_conf_set(conf, name, value, error, sizeof error) != RD_KAFKA_CONF_OK) {
      rd_kafka_conf_destroy(conf);
      throw std::runtime_error(std::string("admin client setting ") + name + ": " + error);
    }
  }
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
  if (rk == nullptr) {
    rd_kafka_conf_destroy(conf);
    throw std::runtime_error(std::string("admin client: ") + error);
  }
  _admin.reset(rk);
}

std::optional<pid_t> RealCluster::node_pid(int node) const {
  std::ifstream in(_dir / "kafka" / ("node-" + std::to_string(node)) / "pid");
  pid_t pid = 0;
  if (!(in >> pid) || pid <= 0 || !exists(pid)) return std::nullopt;
  return pid;
}

int RealCluster::starts_of(int node) const {
  std::ifstream in(_dir / "kafka" / ("node-" + std::to_string(node)) / "server.log");
  int starts = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("] Kafka Server started") != std::string::npos) ++starts;
  }
  return starts;
}

void RealCluster::restart_dead_nodes() const { ::kill(_script_pid, SIGUSR1); }

void RealCluster::create_topic(const std::string& topic, int partitions, std::chrono::seconds limit) {
  char error[512];
  rd_kafka_NewTopic_t* request = rd_kafka_NewTopic_new(topic.c_str(), partitions, nodes, error, sizeof error);
  if (request == nullptr) throw std::runtime_error("topic " + topic + ": " + error);
  rd_kafka_NewTopic_set_config(request, "min.insync.replicas", "2");
  rd_kafka_queue_t* queue = rd_kafka_queue_new(_admin.get());
  rd_kafka_CreateTopics(_admin.get(), &request, 1, nullptr, queue);
  rd_kafka_event_t* event = rd_kafka_queue_poll(queue, static_cast<int>(std::chrono::milliseconds(limit).count()));
  std::string failure;
  if (event == nullptr) {
    failure = "no answer within " + std::to_string(limit.count()) + " s";
  } else if (rd_kafka_event_error(event)) {
    failure = rd_kafka_event_error_string(event);
  } else {
    std::size_t count = 0;
    const auto* results = rd_kafka_CreateTopics_result_topics(rd_kafka_event_CreateTopics_result(event), &count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto err = rd_kafka_topic_result_error(results[i]);
      // A work directory used again keeps its topic.
      if (err && err != RD_KAFKA_RESP_ERR_TOPIC_ALREADY_EXISTS) failure = rd_kafka_err2str(err);
    }
  }
  if (event != nullptr) rd_kafka_event_destroy(event);
  rd_kafka_queue_destroy(queue);
  rd_kafka_NewTopic_destroy(request);
  if (!failure.empty()) throw std::runtime_error("cannot create topic " + topic + ": " + failure);
}

bool RealCluster::fully_replicated(const std::string& topic, std::chrono::milliseconds limit) {
  rd_kafka_topic_t* handle = rd_kafka_topic_new(_admin.get(), topic.c_str(), nullptr);
  const rd_kafka_metadata_t* metadata = nullptr;
  const auto err = rd_kafka_metadata(_admin.get(), 0, handle, &metadata, static_cast<int>(limit.count()));
  bool full = err == RD_KAFKA_RESP_ERR_NO_ERROR && metadata->topic_cnt == 1 && metadata->topics[0].partition_cnt > 0;
  for (int i = 0; full && i < metadata->topics[0].partition_cnt; ++i) {
    const auto& partition = metadata->topics[0].partitions[i];
    full = partition.leader >= 0 && partition.isr_cnt == nodes;
  }
  if (metadata != nullptr) rd_kafka_metadata_destroy(metadata);
  rd_kafka_topic_destroy(handle);
  return full;
}

}  // namespace vesk::chaos

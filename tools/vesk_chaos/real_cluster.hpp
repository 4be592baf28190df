#pragma once
// The soak's real Kafka cluster: three KRaft nodes run by scripts/kafka-cluster, each of which the
// soak may kill or stop. A killed node stays down until the script is sent SIGUSR1.

#include "processes.hpp"

#include <librdkafka/rdkafka.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vesk::chaos {

class RealCluster {
 public:
  static constexpr int nodes = 3;

  RealCluster(Processes& processes, std::string script, std::filesystem::path dir);
  ~RealCluster();
  RealCluster(const RealCluster&) = delete;
  RealCluster& operator=(const RealCluster&) = delete;

  // Starts the script and waits until it prints the cluster's address.
  void start(std::chrono::seconds limit);
  const std::string& bootstrap() const { return _bootstrap; }
  pid_t script_pid() const { return _script_pid; }
  std::string log_path() const { return (_dir / "kafka-cluster.log").string(); }
  // The process of node 1 to 3 as the script last started it; none while it is not running.
  std::optional<pid_t> node_pid(int node) const;
  // How often the node's log says it has started: one more after a restart has completed.
  int starts_of(int node) const;
  // Makes the script start every node that is not running.
  void restart_dead_nodes() const;
  // Creates `topic` with every partition on all three nodes, and min.insync.replicas 2.
  void create_topic(const std::string& topic, int partitions, std::chrono::seconds limit);
  // Whether every partition of `topic` has a leader and all three replicas in sync: a node that
  // was down has caught up. Asks the cluster, waiting at most `limit`.
  bool fully_replicated(const std::string& topic, std::chrono::milliseconds limit);

 private:
  struct ClientDeleter {
    void operator()(rd_kafka_t* rk) const noexcept { rd_kafka_destroy(rk); }
  };

  Processes& _processes;
  std::string _script;
  pid_t _script_pid = -1;
  std::filesystem::path _dir;
  std::string _bootstrap;
  std::unique_ptr<rd_kafka_t, ClientDeleter> _admin;
};

}  // namespace vesk::chaos

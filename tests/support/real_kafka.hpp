#pragma once
// Apache Kafka for the tests labelled "kafka": the cluster of scripts/kafka-cluster, one per test
// binary (a GoogleTest environment starts it before the first test and stops it after the last),
// and a producer and topic maker on it with the surface of the embedded cluster, so that a test
// body runs on either.

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vesk::testing {

struct KafkaClusterOptions {
  int nodes = 1;
  bool sasl = false;
  bool tls = false;
};

// A running scripts/kafka-cluster and what it printed. Its process group holds the script and
// every node; it dies with the test process.
class RealKafka {
 public:
  explicit RealKafka(KafkaClusterOptions options);
  ~RealKafka();
  RealKafka(const RealKafka&) = delete;
  RealKafka& operator=(const RealKafka&) = delete;

  // Starts (again, on the same folder: same ports, same data) and waits for the printed lines.
  void start();
  // SIGTERM and a wait for the whole cluster to end.
  void stop();
  // SIGKILL of the script and every node at once; start() brings the cluster back.
  void kill();
  // Sends `signal` to one node (1-based); a killed node stays down until start_stopped_nodes().
  void signal_node(int node, int signal);
  // Starts every node that is not running, and waits until the cluster answers again.
  void start_stopped_nodes();
  // The node that leads `partition` of `topic` (1-based), or the group coordinator of `group`.
  int leader_of(const std::string& topic, int partition) const;
  int coordinator_of(const std::string& group) const;

  const KafkaClusterOptions options;
  const std::string& bootstrap() const { return _bootstrap; }
  const std::string& bootstrap_tls() const { return _bootstrap_tls; }
  const std::string& user() const { return _user; }
  const std::string& password() const { return _password; }
  const std::string& ca_file() const { return _ca; }
  // Client properties that reach the plain listener (SASL/PLAIN when the cluster has --sasl).
  std::map<std::string, std::string> client_properties() const;

 private:
  pid_t node_pid(int node) const;
  void wait_for_lines();

  std::string _dir;
  pid_t _pid = -1;
  int _output = -1;
  std::string _bootstrap, _bootstrap_tls, _user, _password, _ca;
};

// The test binary's cluster; started by the environment that the binary registers.
RealKafka& real_kafka();
// Registers the environment that starts real_kafka() with these options.
void use_real_kafka(KafkaClusterOptions options);

// Topics and records on real_kafka(), with the embedded cluster's surface.
class RealKafkaCluster {
 public:
  // On real_kafka().
  explicit RealKafkaCluster(int brokers = 1, const std::map<std::string, std::string>& producer_properties = {});
  // On the cluster that `client_properties` (bootstrap.servers and security settings) reach.
  RealKafkaCluster(const std::map<std::string, std::string>& client_properties,
                   const std::map<std::string, std::string>& producer_properties);
  ~RealKafkaCluster();
  RealKafkaCluster(const RealKafkaCluster&) = delete;
  RealKafkaCluster& operator=(const RealKafkaCluster&) = delete;

  const std::string& bootstrap_servers() const { return _bootstrap; }
  // No fault injection of the embedded kind: faults here are signals to real nodes.
  rd_kafka_mock_cluster_t* mock() const noexcept { return nullptr; }

  // Creates the topic (replication: every node, up to 3) and waits until each partition has a leader.
  void create_topic(const std::string& topic, int partitions);
  void produce(const std::string& topic, int partition, const std::optional<std::string>& key, const std::string& value,
               std::int64_t timestamp = 0);
  void flush();

 private:
  struct Clients;
  std::unique_ptr<Clients> _clients;
  std::string _bootstrap;
  std::map<std::string, std::string> _properties;  // reach the cluster (bootstrap, security)
  std::string _delivery_error;
};

}  // namespace vesk::testing

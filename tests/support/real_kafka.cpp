#include "real_kafka.hpp"

#include "service_process.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vesk::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct ClientDeleter {
  void operator()(rd_kafka_t* rk) const noexcept { rd_kafka_destroy(rk); }
};
using Client = std::unique_ptr<rd_kafka_t, ClientDeleter>;

Client make_client(rd_kafka_type_t type, const std::map<std::string, std::string>& properties,
                   void (*on_delivery)(rd_kafka_t*, const rd_kafka_message_t*, void*) = nullptr,
                   void* opaque = nullptr) {
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char errstr[512];
  for (const auto& [name, value] : properties) {
    if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), errstr, sizeof errstr) != RD_KAFKA_CONF_OK) {
      rd_kafka_conf_destroy(conf);
      throw std::runtime_error("Kafka test client setting " + name + ": " + errstr);
    }
  }
  if (on_delivery) rd_kafka_conf_set_dr_msg_cb(conf, on_delivery);
  if (opaque) rd_kafka_conf_set_opaque(conf, opaque);
  Client rk(rd_kafka_new(type, conf, errstr, sizeof errstr));
  if (!rk) {
    rd_kafka_conf_destroy(conf);
    throw std::runtime_error(std::string("Kafka test client: ") + errstr);
  }
  return rk;
}

// An admin request's result event, waited for on a queue of its own.
struct Event {
  rd_kafka_event_t* event;
  ~Event() { rd_kafka_event_destroy(event); }
};

Event await_result(rd_kafka_queue_t* queue, const std::string& what) {
  rd_kafka_event_t* event = rd_kafka_queue_poll(queue, 30000);
  if (!event) throw std::runtime_error(what + ": no answer within 30 s");
  if (rd_kafka_event_error(event)) {
    std::string text = rd_kafka_event_error_string(event);
    rd_kafka_event_destroy(event);
    throw std::runtime_error(what + ": " + text);
  }
  return Event{event};
}

RealKafka* the_cluster = nullptr;

class RealKafkaEnvironment : public ::testing::Environment {
 public:
  explicit RealKafkaEnvironment(KafkaClusterOptions options) : _options(options) {}
  void SetUp() override {
    _cluster = std::make_unique<RealKafka>(_options);
    the_cluster = _cluster.get();
  }
  void TearDown() override {
    the_cluster = nullptr;
    _cluster.reset();
  }

 private:
  KafkaClusterOptions _options;
  std::unique_ptr<RealKafka> _cluster;
};

std::string field(const std::string& output, const std::string& name) {
  const auto pos = output.find(name + ": ");
  if (pos == std::string::npos) return {};
  const auto end = output.find('\n', pos);
  return output.substr(pos + name.size() + 2, end - pos - name.size() - 2);
}

}  // namespace

RealKafka& real_kafka() {
  if (!the_cluster) throw std::logic_error("no Kafka cluster: the test binary did not call use_real_kafka()");
  return *the_cluster;
}

void use_real_kafka(KafkaClusterOptions options) {
  ::testing::AddGlobalTestEnvironment(new RealKafkaEnvironment(options));
}

RealKafka::RealKafka(KafkaClusterOptions options) : options(options) {
  _dir = (std::filesystem::temp_directory_path() / ("vesk-kafka-" + std::to_string(::getpid()))).string();
  std::filesystem::remove_all(_dir);
  start();
}

RealKafka::~RealKafka() {
  try {
    stop();
  } catch (...) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(_dir, ignored);
}

void RealKafka::start() {
  // Not PR_SET_PDEATHSIG: it fires when the thread that forks ends, and tests restart the
  // cluster from pool threads. The script notices the end of this process instead.
  std::vector<std::string> args{VESK_TEST_KAFKA_CLUSTER, "--dir", _dir, "--nodes", std::to_string(options.nodes),
                                "--stop-with-parent"};
  if (options.sasl) args.push_back("--sasl");
  if (options.tls) args.push_back("--tls");
  // A process group of its own, so that kill() reaches every node.
  const auto service = spawn_service(std::move(args), ServiceTie::own_process_group, false);
  _pid = service.pid;
  _output = service.output;
  wait_for_lines();
}

void RealKafka::wait_for_lines() {
  std::string output;
  const auto complete = [&] {
    return output.find("bootstrap: ") != std::string::npos &&
           (!options.sasl || output.find("sasl: ") != std::string::npos) &&
           (!options.tls || output.find("ca: ") != std::string::npos) && output.ends_with('\n');
  };
  if (!read_until(_output, output, Clock::now() + std::chrono::seconds(180),
                  [&](const std::string&) { return complete(); })) {
    kill();
    throw std::runtime_error("scripts/kafka-cluster ended, or did not start within 180 s; it printed: " + output);
  }
  _bootstrap = field(output, "bootstrap");
  _bootstrap_tls = field(output, "bootstrap-tls");
  _ca = field(output, "ca");
  const std::string sasl = field(output, "sasl");
  _user = sasl.substr(0, sasl.find(' '));
  _password = sasl.empty() ? "" : sasl.substr(sasl.find(' ') + 1);
}

void RealKafka::stop() {
  if (_pid <= 0) return;
  ::kill(_pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (::waitpid(_pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(-_pid, SIGKILL);
      ::waitpid(_pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  _pid = -1;
  ::close(_output);
  _output = -1;
}

void RealKafka::kill() {
  if (_pid <= 0) return;
  ::kill(-_pid, SIGKILL);
  int status = 0;
  ::waitpid(_pid, &status, 0);
  _pid = -1;
  ::close(_output);
  _output = -1;
  // The nodes were in the same group; wait until each has gone, so a restart finds its ports free.
  for (int node = 1; node <= options.nodes; ++node) {
    const pid_t p = node_pid(node);
    for (int i = 0; p > 0 && i < 200 && ::kill(p, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

pid_t RealKafka::node_pid(int node) const {
  std::ifstream in(_dir + "/node-" + std::to_string(node) + "/pid");
  pid_t pid = -1;
  in >> pid;
  return pid;
}

void RealKafka::signal_node(int node, int signal) {
  const pid_t pid = node_pid(node);
  if (pid <= 0) throw std::runtime_error("no process id for Kafka node " + std::to_string(node));
  ::kill(pid, signal);
  if (signal == SIGKILL) {
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

void RealKafka::start_stopped_nodes() {
  ::kill(_pid, SIGUSR1);
  // Answering again: every node in the metadata of each broker.
  auto admin = make_client(RD_KAFKA_PRODUCER, [&] {
    auto p = client_properties();
    p["bootstrap.servers"] = _bootstrap;
    return p;
  }());
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    const rd_kafka_metadata_t* metadata = nullptr;
    if (rd_kafka_metadata(admin.get(), 0, nullptr, &metadata, 2000) == RD_KAFKA_RESP_ERR_NO_ERROR) {
      const int brokers = metadata->broker_cnt;
      rd_kafka_metadata_destroy(metadata);
      if (brokers == options.nodes) return;
    }
    if (Clock::now() > deadline) throw std::runtime_error("the restarted Kafka nodes did not answer within 60 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::map<std::string, std::string> RealKafka::client_properties() const {
  std::map<std::string, std::string> p{{"bootstrap.servers", _bootstrap}};
  if (options.sasl) {
    p["security.protocol"] = "SASL_PLAINTEXT";
    p["sasl.mechanism"] = "PLAIN";
    p["sasl.username"] = _user;
    p["sasl.password"] = _password;
  }
  return p;
}

int RealKafka::leader_of(const std::string& topic, int partition) const {
  auto admin = make_client(RD_KAFKA_PRODUCER, client_properties());
  rd_kafka_topic_t* handle = rd_kafka_topic_new(admin.get(), topic.c_str(), nullptr);
  const rd_kafka_metadata_t* metadata = nullptr;
  auto err = rd_kafka_metadata(admin.get(), 0, handle, &metadata, 10000);
  rd_kafka_topic_destroy(handle);
  if (err) throw std::runtime_error("metadata of " + topic + ": " + rd_kafka_err2str(err));
  int leader = -1;
  for (int p = 0; p < metadata->topics[0].partition_cnt; ++p) {
    if (metadata->topics[0].partitions[p].id == partition) leader = metadata->topics[0].partitions[p].leader;
  }
  rd_kafka_metadata_destroy(metadata);
  return leader;
}

int RealKafka::coordinator_of(const std::string& group) const {
  auto admin = make_client(RD_KAFKA_PRODUCER, client_properties());
  std::unique_ptr<rd_kafka_queue_t, void (*)(rd_kafka_queue_t*)> queue(rd_kafka_queue_new(admin.get()),
                                                                       rd_kafka_queue_destroy);
  const char* groups[] = {group.c_str()};
  rd_kafka_DescribeConsumerGroups(admin.get(), groups, 1, nullptr, queue.get());
  Event result = await_result(queue.get(), "describing group " + group);
  size_t count = 0;
  const auto* descriptions = rd_kafka_DescribeConsumerGroups_result_groups(
      rd_kafka_event_DescribeConsumerGroups_result(result.event), &count);
  if (count != 1) throw std::runtime_error("group " + group + " was not described");
  return rd_kafka_Node_id(rd_kafka_ConsumerGroupDescription_coordinator(descriptions[0]));
}

// ---- topics and records ----

struct RealKafkaCluster::Clients {
  Client producer;
};

namespace {
void on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  auto* error = static_cast<std::string*>(opaque);
  if (message->err && error->empty()) *error = rd_kafka_err2str(message->err);
}
}  // namespace

RealKafkaCluster::RealKafkaCluster(int, const std::map<std::string, std::string>& producer_properties)
    : RealKafkaCluster(real_kafka().client_properties(), producer_properties) {}

RealKafkaCluster::RealKafkaCluster(const std::map<std::string, std::string>& client_properties,
                                   const std::map<std::string, std::string>& producer_properties)
    : _clients(std::make_unique<Clients>()),
      _bootstrap(client_properties.at("bootstrap.servers")),
      _properties(client_properties) {
  auto properties = client_properties;
  properties.emplace("linger.ms", "5");
  // A produce request that times out against a frozen broker is sent again; without idempotence
  // the broker may then keep both copies, and the tests' exact counts would be off by the retries.
  properties.emplace("enable.idempotence", "true");
  for (const auto& [name, value] : producer_properties) properties[name] = value;
  _clients->producer = make_client(RD_KAFKA_PRODUCER, properties, on_delivery, &_delivery_error);
}

RealKafkaCluster::~RealKafkaCluster() { rd_kafka_flush(_clients->producer.get(), 10000); }

void RealKafkaCluster::create_topic(const std::string& topic, int partitions) {
  rd_kafka_t* rk = _clients->producer.get();
  char errstr[512];
  std::unique_ptr<rd_kafka_NewTopic_t, void (*)(rd_kafka_NewTopic_t*)> request(
      rd_kafka_NewTopic_new(topic.c_str(), partitions, -1, errstr, sizeof errstr), rd_kafka_NewTopic_destroy);
  if (!request) throw std::runtime_error("topic " + topic + ": " + errstr);
  std::unique_ptr<rd_kafka_queue_t, void (*)(rd_kafka_queue_t*)> queue(rd_kafka_queue_new(rk), rd_kafka_queue_destroy);
  rd_kafka_NewTopic_t* requests[] = {request.get()};
  rd_kafka_CreateTopics(rk, requests, 1, nullptr, queue.get());
  Event result = await_result(queue.get(), "creating topic " + topic);
  size_t count = 0;
  const auto* topics = rd_kafka_CreateTopics_result_topics(rd_kafka_event_CreateTopics_result(result.event), &count);
  if (count == 1 && rd_kafka_topic_result_error(topics[0])) {
    throw std::runtime_error("creating topic " + topic + ": " + rd_kafka_topic_result_error_string(topics[0]));
  }
  // Ready once every node's metadata gives every partition a leader: each node learns of a new
  // topic on its own, and a client that asks one that has not yet fails its records.
  std::vector<std::string> nodes;
  for (std::size_t from = 0, comma = 0; comma != std::string::npos; from = comma + 1) {
    comma = _bootstrap.find(',', from);
    nodes.push_back(_bootstrap.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
  }
  for (const auto& address : nodes) {
    auto properties = _properties;
    properties["bootstrap.servers"] = address;
    auto node = make_client(RD_KAFKA_PRODUCER, properties);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
      rd_kafka_topic_t* handle = rd_kafka_topic_new(node.get(), topic.c_str(), nullptr);
      const rd_kafka_metadata_t* metadata = nullptr;
      const auto err = rd_kafka_metadata(node.get(), 0, handle, &metadata, 5000);
      rd_kafka_topic_destroy(handle);
      bool ready = false;
      if (!err) {
        const auto& t = metadata->topics[0];
        ready = !t.err && t.partition_cnt == partitions;
        for (int p = 0; ready && p < t.partition_cnt; ++p) ready = t.partitions[p].leader >= 0 && !t.partitions[p].err;
        rd_kafka_metadata_destroy(metadata);
      }
      if (ready) break;
      if (Clock::now() > deadline) {
        throw std::runtime_error("topic " + topic + " had no leader for every partition at " +
                                 properties["bootstrap.servers"] + " within 30 s");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void RealKafkaCluster::produce(const std::string& topic, int partition, const std::optional<std::string>& key,
                               const std::string& value, std::int64_t timestamp) {
  rd_kafka_t* rk = _clients->producer.get();
  // Right after create_topic another node may not know the topic yet: the client then refuses
  // the record at once, until its metadata has caught up.
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    // librdkafka does not write to the payload with RD_KAFKA_MSG_F_COPY; its API is not const.
    void* payload = const_cast<char*>(value.data());
    const void* key_data = key ? key->data() : nullptr;
    const std::size_t key_size = key ? key->size() : 0;
    const auto err = rd_kafka_producev(rk, RD_KAFKA_V_TOPIC(topic.c_str()), RD_KAFKA_V_PARTITION(partition),
                                       RD_KAFKA_V_KEY(key_data, key_size), RD_KAFKA_V_VALUE(payload, value.size()),
                                       RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_TIMESTAMP(timestamp),
                                       RD_KAFKA_V_END);
    const bool unknown = err == RD_KAFKA_RESP_ERR__UNKNOWN_TOPIC || err == RD_KAFKA_RESP_ERR__UNKNOWN_PARTITION;
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL || (unknown && Clock::now() < give_up)) {
      rd_kafka_poll(rk, unknown ? 100 : 10);
      continue;
    }
    if (err) throw std::runtime_error(std::string("produce to ") + topic + ": " + rd_kafka_err2str(err));
    rd_kafka_poll(rk, 0);
    return;
  }
}

void RealKafkaCluster::flush() {
  if (auto err = rd_kafka_flush(_clients->producer.get(), 60000)) {
    throw std::runtime_error(std::string("Kafka flush: ") + rd_kafka_err2str(err));
  }
  if (!_delivery_error.empty()) throw std::runtime_error("Kafka delivery failed: " + _delivery_error);
}

}  // namespace vesk::testing

#include "mock_cluster.hpp"

#include <stdexcept>

namespace vesk::testing {
namespace {

rd_kafka_conf_t* make_conf(const std::map<std::string, std::string>& properties) {
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char errstr[512];
  for (const auto& [name, value] : properties) {
    if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), errstr, sizeof errstr) != RD_KAFKA_CONF_OK) {
      rd_kafka_conf_destroy(conf);
      throw std::runtime_error("producer setting " + name + ": " + errstr);
    }
  }
  return conf;
}

rd_kafka_t* make_client(rd_kafka_conf_t* conf) {
  char errstr[512];
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof errstr);
  if (!rk) {
    rd_kafka_conf_destroy(conf);
    throw std::runtime_error(std::string("Kafka client: ") + errstr);
  }
  return rk;
}

}  // namespace

MockKafkaCluster::MockKafkaCluster(int brokers, const std::map<std::string, std::string>& producer_properties) {
  // The holder never connects anywhere; it only carries the mock cluster's threads.
  _holder = make_client(make_conf({{"log_level", "0"}}));
  _mock = rd_kafka_mock_cluster_new(_holder, brokers);
  if (!_mock) {
    rd_kafka_destroy(_holder);
    throw std::runtime_error("mock Kafka cluster could not be created");
  }
  _bootstraps = rd_kafka_mock_cluster_bootstraps(_mock);
  auto properties = producer_properties;
  properties.emplace("bootstrap.servers", _bootstraps);
  properties.emplace("linger.ms", "5");
  rd_kafka_conf_t* conf = make_conf(properties);
  rd_kafka_conf_set_dr_msg_cb(conf, &MockKafkaCluster::on_delivery);
  rd_kafka_conf_set_opaque(conf, this);
  _producer = make_client(conf);
}

MockKafkaCluster::~MockKafkaCluster() {
  rd_kafka_flush(_producer, 5000);
  rd_kafka_destroy(_producer);
  rd_kafka_mock_cluster_destroy(_mock);
  rd_kafka_destroy(_holder);
}

void MockKafkaCluster::create_topic(const std::string& topic, int partitions) {
  if (auto err = rd_kafka_mock_topic_create(_mock, topic.c_str(), partitions, 1)) {
    throw std::runtime_error("mock topic " + topic + ": " + rd_kafka_err2str(err));
  }
}

void MockKafkaCluster::produce(const std::string& topic, int partition, const std::optional<std::string>& key,
                               const std::string& value, std::int64_t timestamp) {
  for (;;) {
    rd_kafka_resp_err_t err;
    if (key) {
      err = rd_kafka_producev(_producer, RD_KAFKA_V_TOPIC(topic.c_str()), RD_KAFKA_V_PARTITION(partition),
                              RD_KAFKA_V_KEY(key->data(), key->size()),
                              RD_KAFKA_V_VALUE(const_cast<char*>(value.data()), value.size()),
                              RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_TIMESTAMP(timestamp), RD_KAFKA_V_END);
    } else {
      err = rd_kafka_producev(_producer, RD_KAFKA_V_TOPIC(topic.c_str()), RD_KAFKA_V_PARTITION(partition),
                              RD_KAFKA_V_VALUE(const_cast<char*>(value.data()), value.size()),
                              RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_TIMESTAMP(timestamp), RD_KAFKA_V_END);
    }
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
      rd_kafka_poll(_producer, 10);
      continue;
    }
    if (err) throw std::runtime_error(std::string("produce: ") + rd_kafka_err2str(err));
    rd_kafka_poll(_producer, 0);
    return;
  }
}

void MockKafkaCluster::flush() {
  if (auto err = rd_kafka_flush(_producer, 30000)) throw std::runtime_error(std::string("flush: ") + rd_kafka_err2str(err));
  if (!_delivery_error.empty()) throw std::runtime_error("delivery failed: " + _delivery_error);
}

void MockKafkaCluster::on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  auto* self = static_cast<MockKafkaCluster*>(opaque);
  if (message->err && self->_delivery_error.empty()) self->_delivery_error = rd_kafka_err2str(message->err);
}

}  // namespace vesk::testing

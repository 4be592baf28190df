#include "vesk/embedded_kafka/embedded_kafka.hpp"

#include <stdexcept>

namespace vesk {

namespace {

// The handles this cluster needs, its own: a test and demo tool needs nothing of the Kafka source.
struct ClientDeleter {
  void operator()(rd_kafka_t* rk) const noexcept { rd_kafka_destroy(rk); }
};
struct ConfDeleter {
  void operator()(rd_kafka_conf_t* conf) const noexcept { rd_kafka_conf_destroy(conf); }
};
using ClientPtr = std::unique_ptr<rd_kafka_t, ClientDeleter>;
using Conf = std::unique_ptr<rd_kafka_conf_t, ConfDeleter>;

Conf make_conf(const std::map<std::string, std::string>& properties) {
  Conf conf(rd_kafka_conf_new());
  char errstr[512];
  for (const auto& [name, value] : properties) {
    if (rd_kafka_conf_set(conf.get(), name.c_str(), value.c_str(), errstr, sizeof errstr) != RD_KAFKA_CONF_OK) {
      throw std::runtime_error("embedded Kafka producer setting " + name + ": " + errstr);
    }
  }
  return conf;
}

ClientPtr make_client(Conf conf) {
  char errstr[512];
  ClientPtr rk(rd_kafka_new(RD_KAFKA_PRODUCER, conf.get(), errstr, sizeof errstr));
  if (!rk) throw std::runtime_error(std::string("embedded Kafka client: ") + errstr);
  conf.release();  // owned by the client now
  return rk;
}

}  // namespace

struct VeskEmbeddedKafka::Clients {
  struct MockDeleter {
    void operator()(rd_kafka_mock_cluster_t* mc) const noexcept { rd_kafka_mock_cluster_destroy(mc); }
  };
  // Declared in the order they must be released in reverse: holder outlives the mock cluster,
  // which outlives the producer connected to it.
  ClientPtr holder;  // the client that carries the mock cluster's threads
  std::unique_ptr<rd_kafka_mock_cluster_t, MockDeleter> mock;
  ClientPtr producer;
};

VeskEmbeddedKafka::VeskEmbeddedKafka(int brokers, const std::map<std::string, std::string>& producer_properties)
    : _clients(std::make_unique<Clients>()) {
  // The holder never connects anywhere; it only carries the mock cluster.
  _clients->holder = make_client(make_conf({{"log_level", "0"}}));
  _clients->mock.reset(rd_kafka_mock_cluster_new(_clients->holder.get(), brokers));
  _mock = _clients->mock.get();
  if (!_mock) throw std::runtime_error("the embedded Kafka cluster could not be created");
  _bootstraps = rd_kafka_mock_cluster_bootstraps(_mock);
  auto properties = producer_properties;
  properties.emplace("bootstrap.servers", _bootstraps);
  properties.emplace("linger.ms", "5");
  Conf conf = make_conf(properties);
  rd_kafka_conf_set_dr_msg_cb(conf.get(), &VeskEmbeddedKafka::on_delivery);
  rd_kafka_conf_set_opaque(conf.get(), this);
  _clients->producer = make_client(std::move(conf));
}

VeskEmbeddedKafka::~VeskEmbeddedKafka() {
  rd_kafka_flush(_clients->producer.get(), 5000);
  _clients->producer.reset();
  _clients->mock.reset();
  _clients->holder.reset();
}

void VeskEmbeddedKafka::create_topic(const std::string& topic, int partitions) {
  if (auto err = rd_kafka_mock_topic_create(_mock, topic.c_str(), partitions, 1)) {
    throw std::runtime_error("embedded Kafka topic " + topic + ": " + rd_kafka_err2str(err));
  }
}

void VeskEmbeddedKafka::produce(const std::string& topic, int partition, const std::optional<std::string>& key,
                                const std::string& value, std::int64_t timestamp) {
  for (;;) {
    rd_kafka_resp_err_t err;
    // librdkafka does not write to the payload with RD_KAFKA_MSG_F_COPY; its API is not const.
    void* payload = const_cast<char*>(value.data());
    if (key) {
      err = rd_kafka_producev(_clients->producer.get(), RD_KAFKA_V_TOPIC(topic.c_str()),
                              RD_KAFKA_V_PARTITION(partition), RD_KAFKA_V_KEY(key->data(), key->size()),
                              RD_KAFKA_V_VALUE(payload, value.size()), RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                              RD_KAFKA_V_TIMESTAMP(timestamp), RD_KAFKA_V_END);
    } else {
      err = rd_kafka_producev(_clients->producer.get(), RD_KAFKA_V_TOPIC(topic.c_str()),
                              RD_KAFKA_V_PARTITION(partition), RD_KAFKA_V_VALUE(payload, value.size()),
                              RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_TIMESTAMP(timestamp),
                              RD_KAFKA_V_END);
    }
    if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
      rd_kafka_poll(_clients->producer.get(), 10);
      continue;
    }
    if (err) throw std::runtime_error(std::string("embedded Kafka produce: ") + rd_kafka_err2str(err));
    rd_kafka_poll(_clients->producer.get(), 0);
    return;
  }
}

void VeskEmbeddedKafka::flush() {
  if (auto err = rd_kafka_flush(_clients->producer.get(), 30000)) {
    throw std::runtime_error(std::string("embedded Kafka flush: ") + rd_kafka_err2str(err));
  }
  if (!_delivery_error.empty()) throw std::runtime_error("embedded Kafka delivery failed: " + _delivery_error);
}

void VeskEmbeddedKafka::on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  auto* self = static_cast<VeskEmbeddedKafka*>(opaque);
  if (message->err && self->_delivery_error.empty()) self->_delivery_error = rd_kafka_err2str(message->err);
}

}  // namespace vesk

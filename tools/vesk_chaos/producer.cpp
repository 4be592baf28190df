#include "producer.hpp"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace vesk::chaos {

Producer::Producer(const std::string& bootstrap, std::string topic, int partitions, int keys, double rate)
    : _topic(std::move(topic)),
      _partitions(partitions),
      _keys(keys),
      _rate(rate),
      _delivered(new std::atomic<std::int64_t>[static_cast<std::size_t>(partitions)]) {
  for (int p = 0; p < partitions; ++p) _delivered[static_cast<std::size_t>(p)] = 0;
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char error[512];
  // Idempotence keeps a retried send from writing a message twice, so offsets follow the sequence.
  const std::pair<const char*, const char*> settings[] = {
      {"bootstrap.servers", bootstrap.c_str()},
      {"linger.ms", "20"},
      {"enable.idempotence", "true"},
      // Broker faults are the soak's own doing: the client's complaints about them are noise.
      {"log_level", "2"}};
  for (const auto& [name, value] : settings) {
    if (rd_kafka_conf_set(conf, name, value, error, sizeof error) != RD_KAFKA_CONF_OK) {
      rd_kafka_conf_destroy(conf);
      throw std::runtime_error(std::string("producer setting ") + name + ": " + error);
    }
  }
  rd_kafka_conf_set_dr_msg_cb(conf, &Producer::on_delivery);
  rd_kafka_conf_set_opaque(conf, this);
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
  if (rk == nullptr) {
    rd_kafka_conf_destroy(conf);
    throw std::runtime_error(std::string("producer: ") + error);
  }
  _client.reset(rk);
}

Producer::~Producer() {
  _stopping = true;
  if (_thread.joinable()) _thread.join();
}

void Producer::start() {
  _thread = std::thread([this] { run(); });
}

void Producer::on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  auto* self = static_cast<Producer*>(opaque);
  if (message->err != RD_KAFKA_RESP_ERR_NO_ERROR || message->partition < 0 || message->partition >= self->_partitions) {
    ++self->_failed;
  } else {
    ++self->_delivered[static_cast<std::size_t>(message->partition)];
  }
}

void Producer::run() {
  const auto started = std::chrono::steady_clock::now();
  std::int64_t sent = 0;
  while (!_stopping) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto due = static_cast<std::int64_t>(seconds * _rate);
    while (sent < due && !_stopping) {
      const int partition = static_cast<int>(sent % _partitions);
      const std::string key = std::to_string(partition) + "." + std::to_string((sent / _partitions) % _keys);
      const std::string value = "m" + std::to_string(sent);
      const rd_kafka_resp_err_t err = rd_kafka_producev(
          _client.get(), RD_KAFKA_V_TOPIC(_topic.c_str()), RD_KAFKA_V_PARTITION(partition),
          RD_KAFKA_V_KEY(key.data(), key.size()), RD_KAFKA_V_VALUE(const_cast<char*>(value.data()), value.size()),
          RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END);
      if (err == RD_KAFKA_RESP_ERR__QUEUE_FULL) {
        rd_kafka_poll(_client.get(), 10);
        continue;
      }
      // A message the client refuses is not written; the end offsets count only what was.
      if (err != RD_KAFKA_RESP_ERR_NO_ERROR) ++_failed;
      ++sent;
    }
    rd_kafka_poll(_client.get(), 10);
  }
}

void Producer::stop(std::chrono::milliseconds limit) {
  _stopping = true;
  if (_thread.joinable()) _thread.join();
  rd_kafka_flush(_client.get(), static_cast<int>(limit.count()));
}

std::vector<std::int64_t> Producer::delivered() const {
  std::vector<std::int64_t> counts;
  for (int p = 0; p < _partitions; ++p) counts.push_back(_delivered[static_cast<std::size_t>(p)].load());
  return counts;
}

std::vector<std::int64_t> Producer::end_offsets(std::chrono::milliseconds limit) const {
  std::vector<std::int64_t> ends;
  for (int p = 0; p < _partitions; ++p) {
    std::int64_t low = 0, high = 0;
    const rd_kafka_resp_err_t err = rd_kafka_query_watermark_offsets(_client.get(), _topic.c_str(), p, &low, &high,
                                                                     static_cast<int>(limit.count()));
    if (err != RD_KAFKA_RESP_ERR_NO_ERROR) {
      throw std::runtime_error("cannot read the end offset of partition " + std::to_string(p) + ": " +
                               rd_kafka_err2str(err));
    }
    ends.push_back(high);
  }
  return ends;
}

}  // namespace vesk::chaos

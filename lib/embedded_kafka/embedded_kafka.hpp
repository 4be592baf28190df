#pragma once
// A Kafka cluster inside the process, for trying Vesk on one machine with nothing installed and
// for tests and benchmarks: librdkafka's mock cluster on 127.0.0.1, which speaks the real Kafka
// protocol (consumer groups included), with a producer for writing records to it.
//
// It keeps only about 100,000 record batches or 5 MiB per partition; older offsets then read as
// out of range.

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vesk {

class VeskEmbeddedKafka {
 public:
  // `producer_properties` are added to the producer's own (batching for benchmarks, say).
  explicit VeskEmbeddedKafka(int brokers = 1, const std::map<std::string, std::string>& producer_properties = {});
  ~VeskEmbeddedKafka();
  VeskEmbeddedKafka(const VeskEmbeddedKafka&) = delete;
  VeskEmbeddedKafka& operator=(const VeskEmbeddedKafka&) = delete;

  // The value for KAFKA_BOOTSTRAP_SERVERS.
  const std::string& bootstrap_servers() const noexcept { return _bootstraps; }
  // For fault injection with the rd_kafka_mock_* calls.
  rd_kafka_mock_cluster_t* mock() const noexcept { return _mock; }

  void create_topic(const std::string& topic, int partitions);
  // Queues one record. `partition` -1 lets the producer choose by key, as Kafka clients do;
  // a timestamp of 0 lets the producer stamp it.
  void produce(const std::string& topic, int partition, const std::optional<std::string>& key, const std::string& value,
               std::int64_t timestamp = 0);
  // Waits until every queued record is acknowledged; throws when one failed.
  void flush();

 private:
  struct Clients;

  static void on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque);

  std::unique_ptr<Clients> _clients;
  rd_kafka_mock_cluster_t* _mock = nullptr;
  std::string _bootstraps;
  std::string _delivery_error;
};

}  // namespace vesk

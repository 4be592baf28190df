#pragma once
// A librdkafka mock cluster on 127.0.0.1 for tests and benchmarks, with a real producer for
// writing records to it. It speaks the Kafka protocol, consumer groups included.

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vesk::testing {

class MockKafkaCluster {
 public:
  // `producer_properties` are added to the producer's own (e.g. batching for benchmarks).
  explicit MockKafkaCluster(int brokers = 1, const std::map<std::string, std::string>& producer_properties = {});
  ~MockKafkaCluster();
  MockKafkaCluster(const MockKafkaCluster&) = delete;
  MockKafkaCluster& operator=(const MockKafkaCluster&) = delete;

  const std::string& bootstrap_servers() const { return _bootstraps; }
  rd_kafka_mock_cluster_t* mock() const { return _mock; }

  void create_topic(const std::string& topic, int partitions);
  // Queues one record for `partition`; a timestamp of 0 lets the producer stamp it.
  void produce(const std::string& topic, int partition, const std::optional<std::string>& key,
               const std::string& value, std::int64_t timestamp = 0);
  // Waits until every queued record is acknowledged; throws when one failed.
  void flush();

 private:
  static void on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque);

  rd_kafka_t* _holder = nullptr;  // the client that owns the mock cluster
  rd_kafka_mock_cluster_t* _mock = nullptr;
  rd_kafka_t* _producer = nullptr;
  std::string _bootstraps;
  std::string _delivery_error;
};

}  // namespace vesk::testing

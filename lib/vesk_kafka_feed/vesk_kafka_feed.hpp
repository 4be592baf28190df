#pragma once
// The Kafka source: reads one topic as a member of a consumer group on librdkafka, reports the
// group's partition changes to the engine's listener and serves each partition's batches,
// all on the event loop without blocking it. Offsets are committed to Kafka only when asked,
// for monitoring.
//
// The group assigns cooperatively by default (partition.assignment.strategy=cooperative-sticky):
// a rebalance takes away only the partitions that move. A partition taken away while the member
// is healthy is held until the listener has released it (its consumer has stored a last
// checkpoint), for at most half of max.poll.interval.ms; one lost with the member's session is
// given up at once. Eager assignment (`range`, `roundrobin`, set among the extra properties) is
// handled the same way, for groups shared with consumers that cannot rebalance cooperatively.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/models/partition_state.hpp"
#include "vesk/vesk_feed/message.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"
#include "vesk/vesk_kafka_feed/kafka_error.hpp"
#include "vesk/vesk_rebalance_listener/vesk_rebalance_listener.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

class VeskKafkaFeed : public VeskFeed {
 public:
  // Client properties by their librdkafka names, in the order they are applied.
  using ClientProperties = std::vector<std::pair<std::string, std::string>>;
  // Further client properties (TLS files, timeouts, ...), applied after the source's own.
  using ExtraProperties = std::map<std::string, std::string>;

  // A (topic name, partition number) pair, as the client reports assignments.
  struct TopicPartition {
    std::string topic;
    PartitionId partition = 0;
  };

  // Passes the group's partition changes on to the engine's listener as partition numbers.
  class KafkaAssignmentListener {
   public:
    KafkaAssignmentListener(Logger logger, std::shared_ptr<VeskRebalanceListener> listener);

    void on_partitions_revoked(const std::vector<TopicPartition>& revoked);
    void on_partitions_assigned(const std::vector<TopicPartition>& assigned);
    Awaitable<void> release_partitions(const std::vector<TopicPartition>& revoked);

    Logger logger;

   private:
    std::shared_ptr<VeskRebalanceListener> _listener;
  };

  VeskKafkaFeed(std::string kafka_bootstrap_servers, std::string kafka_group_id, std::string kafka_topic,
                std::string kafka_sasl_mechanism, std::string kafka_security_protocol, std::string kafka_sasl_username,
                std::string kafka_sasl_password, Logger logger, ExtraProperties extra_properties = {});
  ~VeskKafkaFeed() override;

  // Built from Config::from_env(). KAFKA_BOOTSTRAP_SERVERS, KAFKA_GROUP_ID and KAFKA_TOPIC must
  // not be empty: a ValueError names the first one that is.
  static std::unique_ptr<VeskKafkaFeed> from_env(Logger logger, ExtraProperties extra_properties = {});

  // Creates the client, subscribes to kafka_topic with the listener held now, and completes once
  // the cluster has answered; fails within about start_timeout when it cannot be reached.
  Awaitable<void> start() override;
  // Leaves the group (the final revoke reaches the listener on the loop) and releases the client.
  Awaitable<void> stop() override;
  // Assigned partitions fetch nothing before their first seek. An offset outside the partition's
  // log moves to its earliest retained offset, never the end, with a warning naming both.
  Awaitable<void> seek(const PartitionState& state) override;
  // 1 to 1000 messages of the partition in offset order; waits as long as none arrive.
  Awaitable<std::vector<Message>> get_many(PartitionId partition) override;
  // The high watermark the client last received with a fetch of the partition: no request is
  // sent. None before the first fetch answer, and when the source is not running.
  std::optional<std::int64_t> high_watermark(PartitionId partition) const override;
  // The next get_many of the partition refills these messages' buffers.
  void recycle(PartitionId partition, std::vector<Message>&& batch) override;
  // From the client's statistics (statistics.interval.ms, once a second unless set otherwise;
  // none when set to 0) and errors: a problem when no broker has answered, or the host has not
  // been a member of its group, for longer than unhealthy_after.
  std::optional<SourceHealth> health() const override;
  // With commit_stored_offsets, commits the offset to the group for lag monitors to see.
  void checkpoint_stored(PartitionId partition, Offset offset) override;

  // The properties start() hands to the client, in order.
  ClientProperties client_properties() const;
  // The value of a property as the running client holds it; std::logic_error when not running.
  std::string client_setting(const std::string& name) const;
  bool running() const noexcept { return static_cast<bool>(_consumer); }
  // Set once a broker refused the client's credentials, until a start succeeds: one line naming
  // the SASL mechanism, the user and the broker. Starting again does not mend it.
  std::optional<std::string> authentication_failure() const;

  const std::string kafka_bootstrap_servers;
  const std::string kafka_group_id;
  const std::string kafka_topic;
  const std::string kafka_sasl_mechanism;
  const std::string kafka_security_protocol;
  const std::string kafka_sasl_username;
  const std::string kafka_sasl_password;
  const ExtraProperties extra_properties;

  // How long start() waits for the cluster to answer before it fails.
  std::chrono::milliseconds start_timeout{10000};
  // How long no broker may answer, or the host stay out of its group, before health() names it
  // as a problem; a partition's high watermark older than this is unknown.
  std::chrono::milliseconds unhealthy_after{30000};
  // Commit each stored checkpoint's offset to the group, so that Kafka's lag tools see the
  // group's progress. Monitoring only: the source never reads a committed offset back.
  bool commit_stored_offsets = false;

 private:
  class Consumer;
  struct PartitionReader;
  struct Refusal;
  struct Health;

  std::string sasl_description() const;

  std::shared_ptr<Consumer> _consumer;
  // Shared with each client, whose callbacks record a refusal there.
  std::shared_ptr<Refusal> _refusal;
  // Kept across clients, from the first start on.
  std::shared_ptr<Health> _health;
};

}  // namespace vesk

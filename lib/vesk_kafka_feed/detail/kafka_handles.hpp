#pragma once
// Owning handles for librdkafka objects, one resource each, and the one place that turns the
// client's error forms into KafkaError.

#include "vesk/vesk_kafka_feed/kafka_error.hpp"

#include <librdkafka/rdkafka.h>

#include <memory>
#include <string>

namespace vesk::kafka {

// Destroys a client with the flags it was made with: a consumer that leaves its group on its own
// (or never joined one) is destroyed with RD_KAFKA_DESTROY_F_NO_CONSUMER_CLOSE.
struct ClientDeleter {
  int flags = 0;
  void operator()(rd_kafka_t* p) const noexcept { rd_kafka_destroy_flags(p, flags); }
};
struct ConfDeleter {
  void operator()(rd_kafka_conf_t* p) const noexcept { rd_kafka_conf_destroy(p); }
};
struct QueueDeleter {
  void operator()(rd_kafka_queue_t* p) const noexcept { rd_kafka_queue_destroy(p); }
};
struct MessageDeleter {
  void operator()(rd_kafka_message_t* p) const noexcept { rd_kafka_message_destroy(p); }
};
struct PartitionListDeleter {
  void operator()(rd_kafka_topic_partition_list_t* p) const noexcept { rd_kafka_topic_partition_list_destroy(p); }
};
struct ErrorDeleter {
  void operator()(rd_kafka_error_t* p) const noexcept { rd_kafka_error_destroy(p); }
};
struct MetadataDeleter {
  void operator()(const rd_kafka_metadata_t* p) const noexcept { rd_kafka_metadata_destroy(p); }
};

using ClientPtr = std::unique_ptr<rd_kafka_t, ClientDeleter>;
using ConfPtr = std::unique_ptr<rd_kafka_conf_t, ConfDeleter>;
using QueuePtr = std::unique_ptr<rd_kafka_queue_t, QueueDeleter>;
using MessagePtr = std::unique_ptr<rd_kafka_message_t, MessageDeleter>;
using PartitionListPtr = std::unique_ptr<rd_kafka_topic_partition_list_t, PartitionListDeleter>;
using ErrorPtr = std::unique_ptr<rd_kafka_error_t, ErrorDeleter>;
using MetadataPtr = std::unique_ptr<const rd_kafka_metadata_t, MetadataDeleter>;

// Throws KafkaError naming `what` when `err` is an error.
void check(rd_kafka_resp_err_t err, const std::string& what);
// Takes `error` over; throws KafkaError naming `what` when it is an error.
void check(rd_kafka_error_t* error, const std::string& what);
// Throws KafkaError naming `what` and the partition for the first element of `list` that
// carries an error.
void check(const rd_kafka_topic_partition_list_t* list, const std::string& what);
// The exception check() throws: "<what>: <error name>: <client text>".
KafkaError kafka_error(rd_kafka_resp_err_t err, const std::string& what);

}  // namespace vesk::kafka

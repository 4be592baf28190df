#include "vesk/vesk_kafka_feed/detail/kafka_handles.hpp"

namespace vesk::kafka {

KafkaError kafka_error(rd_kafka_resp_err_t err, const std::string& what) {
  return KafkaError(err, what + ": " + rd_kafka_err2name(err) + ": " + rd_kafka_err2str(err));
}

void check(rd_kafka_resp_err_t err, const std::string& what) {
  if (err) throw kafka_error(err, what);
}

void check(rd_kafka_error_t* error, const std::string& what) {
  ErrorPtr owned(error);
  if (!owned) return;
  throw KafkaError(rd_kafka_error_code(error),
                   what + ": " + rd_kafka_error_name(error) + ": " + rd_kafka_error_string(error));
}

void check(const rd_kafka_topic_partition_list_t* list, const std::string& what) {
  if (!list) return;
  for (int i = 0; i < list->cnt; ++i) {
    const auto& element = list->elems[i];
    if (element.err) {
      throw kafka_error(element.err, what + " (partition " + std::to_string(element.partition) + " of " +
                                         (element.topic ? element.topic : "") + ")");
    }
  }
}

}  // namespace vesk::kafka

#pragma once
// KafkaError: a failure the Kafka client reported, with the client's own error code.

#include <librdkafka/rdkafka.h>

#include <stdexcept>
#include <string>

namespace vesk {

// The client said so: `code()` is its error code, the message names the operation, the error's
// name and the client's text. Misuse of the source (reading it before start, say) is a
// std::logic_error instead.
class KafkaError : public std::runtime_error {
 public:
  KafkaError(rd_kafka_resp_err_t code, const std::string& message) : std::runtime_error(message), _code(code) {}
  rd_kafka_resp_err_t code() const noexcept { return _code; }

 private:
  rd_kafka_resp_err_t _code;
};

}  // namespace vesk

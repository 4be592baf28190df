#pragma once
// The environment configuration read by the Kafka source and the blob-storage backend.

#include <string>

namespace vesk {

struct Config {
  std::string KAFKA_BOOTSTRAP_SERVERS;
  std::string KAFKA_GROUP_ID;
  std::string KAFKA_TOPIC;
  std::string KAFKA_SASL_MECHANISM;
  std::string KAFKA_SECURITY_PROTOCOL;
  std::string KAFKA_SASL_USERNAME;
  std::string KAFKA_SASL_PASSWORD;
  std::string AZURE_STORAGE_CONNECTION_STRING;
  std::string AZURE_STORAGE_CONTAINER_NAME;
  std::string AZURE_STORAGE_PREFIX;

  // Each attribute from the environment variable of the same name; an unset one is empty.
  static Config from_env();
};

}  // namespace vesk

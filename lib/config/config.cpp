#include "vesk/config/config.hpp"

#include <cstdlib>

namespace vesk {
namespace {
std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}
}  // namespace

Config Config::from_env() {
  Config c;
  c.KAFKA_BOOTSTRAP_SERVERS = env("KAFKA_BOOTSTRAP_SERVERS");
  c.KAFKA_GROUP_ID = env("KAFKA_GROUP_ID");
  c.KAFKA_TOPIC = env("KAFKA_TOPIC");
  c.KAFKA_SASL_MECHANISM = env("KAFKA_SASL_MECHANISM");
  c.KAFKA_SECURITY_PROTOCOL = env("KAFKA_SECURITY_PROTOCOL");
  c.KAFKA_SASL_USERNAME = env("KAFKA_SASL_USERNAME");
  c.KAFKA_SASL_PASSWORD = env("KAFKA_SASL_PASSWORD");
  c.AZURE_STORAGE_CONNECTION_STRING = env("AZURE_STORAGE_CONNECTION_STRING");
  c.AZURE_STORAGE_CONTAINER_NAME = env("AZURE_STORAGE_CONTAINER_NAME");
  c.AZURE_STORAGE_PREFIX = env("AZURE_STORAGE_PREFIX");
  return c;
}

}  // namespace vesk

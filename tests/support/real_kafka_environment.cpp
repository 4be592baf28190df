// Compiled into each test binary labelled "kafka": its one cluster, with the options the binary
// was built with.
#include "real_kafka.hpp"

namespace {
const bool registered = [] {
  vesk::testing::use_real_kafka({VESK_TEST_KAFKA_NODES, VESK_TEST_KAFKA_SASL != 0, VESK_TEST_KAFKA_TLS != 0});
  return true;
}();
}  // namespace

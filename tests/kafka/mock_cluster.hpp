#pragma once
// The tests' Kafka cluster: the library's in-process mock cluster with its producer; in the
// binaries labelled "kafka", topics and records on the Apache Kafka cluster of the binary.

#ifdef VESK_TEST_REAL_KAFKA
#include "real_kafka.hpp"

namespace vesk::testing {
using MockKafkaCluster = RealKafkaCluster;
}
#else
#include "vesk/embedded_kafka/embedded_kafka.hpp"

namespace vesk::testing {
using MockKafkaCluster = VeskEmbeddedKafka;
}
#endif

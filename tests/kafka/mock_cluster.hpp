#pragma once
// The tests' Kafka cluster: the library's in-process mock cluster with its producer.

#include "embedded_kafka/embedded_kafka.hpp"

namespace vesk::testing {
using MockKafkaCluster = VeskEmbeddedKafka;
}

#pragma once
// One consumed record: key bytes (absent when the record has none), value bytes, timestamp and
// offset within its partition.

#include "vesk/models/partition_state.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace vesk {

struct Message {
  std::optional<std::string> key;
  std::string value;
  std::int64_t timestamp = 0;
  Offset offset = 0;

  bool operator==(const Message&) const = default;
};

}  // namespace vesk

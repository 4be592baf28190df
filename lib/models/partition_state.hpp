#pragma once
// The records that describe a partition's progress: its number, the offset of the next message
// to read, and the last checkpointed state of every key.

#include "vesk/values/value.hpp"

#include <cstdint>

namespace vesk {

using PartitionId = std::int32_t;
using Offset = std::int64_t;

// The state of one key: whatever the stream handler returned for it, never none in a map.
using KeyState = Value;

struct PartitionState {
  PartitionId partition = 0;
  // The offset of the next message to read: 0 for a partition with nothing stored.
  Offset offset = 0;
  // Key text → KeyState. Every key is text.
  Dict state;

  bool operator==(const PartitionState&) const = default;

  // The dict of the record's fields in field order: {"partition", "offset", "state"}.
  Value to_dict() const&;
  Value to_dict() &&;

  // Rebuilds the record from such a dict. An unknown field, a missing field or a field of the
  // wrong kind is a TypeError or ValueError naming the field.
  static PartitionState from_dict(const Value& fields);
  static PartitionState from_dict(Value&& fields);
};

}  // namespace vesk

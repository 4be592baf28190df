#include "vesk/models/partition_state.hpp"

#include <limits>
#include <string>

namespace vesk {
namespace {

constexpr const char* state_fields[] = {"partition", "offset", "state"};

std::int64_t int_field(const Value& v, const char* name) {
  if (!v.is_int()) {
    throw TypeError(std::string("PartitionState field '") + name + "' must be an int, got " + v.kind_name());
  }
  return v.as_int();
}

PartitionState build(Value fields) {
  if (!fields.is_dict()) {
    throw TypeError(std::string("PartitionState must be built from a dict of its fields, got ") + fields.kind_name());
  }
  auto& dict = fields.as_dict();
  for (const auto& [key, value] : dict) {
    bool known = false;
    if (key.is_text()) {
      for (const char* f : state_fields) known = known || key.as_text() == f;
    }
    if (!known) throw TypeError("PartitionState has no field " + key.repr());
  }
  const Value* fp = dict.find_text("partition");
  const Value* op = dict.find_text("offset");
  Value* sp = dict.find_text("state");
  for (auto [p, name] : {std::pair{fp, "partition"}, {op, "offset"}, {static_cast<const Value*>(sp), "state"}}) {
    if (p == nullptr) throw TypeError(std::string("PartitionState field '") + name + "' is missing");
  }
  PartitionState out;
  std::int64_t partition = int_field(*fp, "partition");
  if (partition < std::numeric_limits<PartitionId>::min() || partition > std::numeric_limits<PartitionId>::max()) {
    throw ValueError("PartitionState field 'partition' is out of range: " + std::to_string(partition));
  }
  out.partition = static_cast<PartitionId>(partition);
  out.offset = int_field(*op, "offset");
  if (!sp->is_dict()) {
    throw TypeError(std::string("PartitionState field 'state' must be a dict, got ") + sp->kind_name());
  }
  for (const auto& [key, value] : sp->as_dict()) {
    if (!key.is_text()) {
      throw TypeError("PartitionState field 'state' must have text keys, got the key " + key.repr());
    }
  }
  out.state = std::move(sp->as_dict());
  return out;
}

}  // namespace

Value PartitionState::to_dict() const& {
  Dict d;
  d.reserve(3);
  d.append_unique("partition", partition);
  d.append_unique("offset", offset);
  d.append_unique("state", state);
  return d;
}

Value PartitionState::to_dict() && {
  Dict d;
  d.reserve(3);
  d.append_unique("partition", partition);
  d.append_unique("offset", offset);
  d.append_unique("state", std::move(state));
  return d;
}

PartitionState PartitionState::from_dict(const Value& fields) { return build(Value(fields)); }
PartitionState PartitionState::from_dict(Value&& fields) { return build(std::move(fields)); }

}  // namespace vesk

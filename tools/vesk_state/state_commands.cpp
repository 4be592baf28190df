#include "state_commands.hpp"

#include "loop/errors.hpp"
#include "models/partition_state.hpp"
#include "pickle/pickle.hpp"

#include <istream>
#include <ostream>

namespace vesk::state_tool {

Awaitable<void> dump_state(VeskFileBackend& backend, std::string file_path, std::ostream& out) {
  std::optional<std::string> contents = co_await backend.get_file_contents_async(file_path);
  if (!contents) throw ValueError("no such file: " + backend.prefix + file_path);
  Value value;
  try {
    value = pickle::loads(*contents);
  } catch (const pickle::PickleError& e) {
    throw ValueError(std::string("not a readable state file: ") + e.what());
  }
  out << value_to_json(value).dump(2) << '\n';
}

Awaitable<void> write_state(VeskFileBackend& backend, std::string file_path, std::istream& in) {
  Json json;
  try {
    json = Json::parse(in);
  } catch (const Json::parse_error& e) {
    throw ValueError(std::string("bad JSON on standard input: ") + e.what());
  }
  if (!json.is_object()) throw ValueError("the JSON of a state file must be an object with \"partition\", \"offset\" and \"state\"");
  // Through the record, so that only files the engine can read back get written.
  PartitionState state = PartitionState::from_dict(json_to_value(json));
  std::string bytes = pickle::dumps(std::move(state).to_dict());
  co_await backend.set_file_contents_async(std::move(file_path), std::move(bytes));
}

}  // namespace vesk::state_tool

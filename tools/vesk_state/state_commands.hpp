#pragma once
// The commands of vesk-state, over any file backend, so that the same commands serve local
// files and blob storage.

#include "state_json.hpp"
#include "vesk_file_backend/vesk_file_backend.hpp"

#include <iosfwd>
#include <string>

namespace vesk::state_tool {

// Prints the state file at `file_path` as JSON. A missing file is a ValueError.
Awaitable<void> dump_state(VeskFileBackend& backend, std::string file_path, std::ostream& out);

// Reads the JSON of a state file from `in` and writes it at `file_path` as a pickle (protocol 4).
// The JSON must describe a whole state: {"partition": int, "offset": int, "state": {...}}.
Awaitable<void> write_state(VeskFileBackend& backend, std::string file_path, std::istream& in);

}  // namespace vesk::state_tool

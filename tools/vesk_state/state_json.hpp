#pragma once
// The JSON form of Values used by vesk-state: none → null, bool, int and float → numbers (NaN
// and infinities as "NaN", "Infinity", "-Infinity"), text → string, list → array, a dict whose
// keys are all text → object, bytes → {"$bytes": base64}, tuple → {"$tuple": [...]}, any other
// dict → {"$dict": [[key, value], ...]}. Two escapes keep the round trip exact: a text that
// reads like a special float is {"$text": "NaN"}, and a one-entry dict whose key is one of
// "$bytes", "$tuple", "$dict", "$text" is written in the "$dict" form.
//
// Both directions stream and take time linear in the size of the text: a state file holds a
// dict of every key of a partition, often millions.

#include "vesk/values/value.hpp"

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace vesk::state_tool {

// JSON deeper than this is refused while it is read, before anything recursive sees it.
inline constexpr std::size_t max_json_depth = 10000;

// Writes `value` as JSON, indented by two spaces per level.
void write_json(const Value& value, std::ostream& out);
std::string to_json_text(const Value& value);

// Reads one JSON text. ValueError naming what is wrong, and where (a path like state."k"[2]):
// bad JSON, nesting deeper than max_json_depth, or a form that is no Value.
Value read_json(std::istream& in);
Value read_json(std::string_view text);

std::string base64_encode(std::string_view data);
// ValueError for anything but canonical padded base64.
std::string base64_decode(std::string_view text);

}  // namespace vesk::state_tool

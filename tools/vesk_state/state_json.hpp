#pragma once
// The JSON form of Values used by vesk-state: none → null, bool, int and float → numbers (NaN
// and infinities as "NaN", "Infinity", "-Infinity"), text → string, list → array, a dict whose
// keys are all text → object, bytes → {"$bytes": base64}, tuple → {"$tuple": [...]}, any other
// dict → {"$dict": [[key, value], ...]}. Two escapes keep the round trip exact: a text that
// reads like a special float is {"$text": "NaN"}, and a one-entry dict whose key is one of
// "$bytes", "$tuple", "$dict", "$text" is written in the "$dict" form.

#include "values/value.hpp"

#include <nlohmann/json.hpp>

namespace vesk::state_tool {

using Json = nlohmann::ordered_json;  // keeps the order of dict entries

Json value_to_json(const Value& value);
// ValueError naming what is wrong (and where, as a path like state."k"[2]).
Value json_to_value(const Json& json);

std::string base64_encode(std::string_view data);
// ValueError for anything but canonical padded base64.
std::string base64_decode(std::string_view text);

}  // namespace vesk::state_tool

#pragma once
// The pickle reader's fast path: decodes a pickle that holds no memo, global or stack-shuffling
// opcodes (everything our writer produces) by building each value where it ends up, with no
// stack of values in between and no moves.

#include "values/value.hpp"

#include <string_view>

namespace vesk::pickle::detail {

// Decodes `data` into `out` and returns true; or returns false, for anything it does not handle
// and for any input the full reader would refuse, leaving `out` unspecified. The full reader then
// decodes the input from the start, and reports its errors.
bool loads_direct(std::string_view data, Value& out);

// The full reader alone, which handles every pickle loads() accepts.
Value loads_full(std::string_view data);

}  // namespace vesk::pickle::detail

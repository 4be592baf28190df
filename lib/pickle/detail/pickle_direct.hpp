#pragma once
// The pickle reader's fast path: decodes a pickle that holds no memo, global or stack-shuffling
// opcodes (everything our writer produces) by building each value where it ends up, with no
// stack of values in between and no moves.

#include "vesk/values/value.hpp"

#include <string_view>

namespace vesk::pickle::detail {

// Decodes `data` into `out` and returns true; or returns false, for anything it does not handle
// and for any input the full reader would refuse, leaving `out` unspecified. The full reader then
// decodes the input from the start, and reports its errors.
bool loads_direct(std::string_view data, Value& out);

// As loads_direct, for loads_pair_into: the dict that is the second item of a top-level tuple is
// read into `into`, and `entries_read` counts its entries. On false, `into` holds what it held and
// some of that dict's entries.
bool loads_direct_merging(std::string_view data, Value& out, Dict& into, std::size_t& entries_read);

// The full reader alone, which handles every pickle loads() accepts.
Value loads_full(std::string_view data);

}  // namespace vesk::pickle::detail

#pragma once
// The text forms of the oldest protocols (INT, LONG, FLOAT, STRING, UNICODE and the memo indices
// of GET and PUT), read from their line. Each throws PickleError at `position` for a malformed one.

#include "vesk/values/value.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::pickle::detail {

// An INT (true and false included, as "01" and "00") or LONG line; `op` names it in messages.
Value int_line(std::string_view line, bool long_form, unsigned char op, std::size_t position);
// A FLOAT line, as Python's float() reads it: out-of-range text is inf or 0.
double float_line(std::string_view line, std::size_t position);
// A STRING line: quoted, with Python 2 escapes. The bytes it stands for.
std::string string_line(std::string_view line, std::size_t position);
// A UNICODE line in raw-unicode-escape, as UTF-8.
std::string unicode_line(std::string_view line, std::size_t position);
// The memo index of a GET or PUT line.
std::uint64_t memo_index_line(std::string_view line, unsigned char op, std::size_t position);

}  // namespace vesk::pickle::detail

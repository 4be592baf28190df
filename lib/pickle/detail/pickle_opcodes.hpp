#pragma once
// The opcode table of the reader: names for messages, and a walk over a stream that finds which
// memo entries are ever read, without decoding anything.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vesk::pickle::detail {

// The opcode's name, or null for a byte that is no opcode.
const char* opcode_name(unsigned char c);
// The name, or "unknown opcode 0x.." for a byte that is none.
std::string describe_opcode(unsigned char c);

// A whole decimal number and nothing else.
bool parse_u64(std::string_view s, std::uint64_t& out);

// Finds the memo indices that some GET reads, from `pos` to STOP, so that memo entries nobody
// reads cost nothing. Stops quietly where the stream goes wrong: decoding fails there anyway.
void scan_fetched(std::string_view data, std::size_t pos, std::unordered_set<std::uint64_t>& fetched);

}  // namespace vesk::pickle::detail

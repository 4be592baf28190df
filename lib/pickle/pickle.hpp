#pragma once
// The pickle codec for Values: writes protocol 4, reads protocols 0 to 5. Decoding never builds a
// type named by the input: opcodes that name globals or build objects are refused.

#include "vesk/errors/errors.hpp"
#include "vesk/values/value.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::pickle {

// Corrupt, truncated or unsupported input; the message names the position in the stream.
class PickleError : public ValueError {
 public:
  PickleError(const std::string& message, std::size_t position);
  std::size_t position() const noexcept { return _position; }

 private:
  std::size_t _position;
};

// One whole pickle (protocol 4) of `value`.
std::string dumps(const Value& value);
// Appends one whole pickle (protocol 4) of `value` to `out`.
void dump_into(std::string& out, const Value& value);

// Decodes exactly one pickle; bytes after its STOP are an error.
Value loads(std::string_view data);

// Decodes exactly one pickle as loads() does, except when its value is a pair whose second item
// is a dict: that dict's entries are then set in `into` in their order, as Dict::set would take
// them, and the pair's second item is none in the result, so that a large map is updated without
// building the dict first. `entries_read`, when given, is set to the number of entries the dict
// had. A dict that is the second item of a longer top-level tuple, or of a pair that is then put
// inside another value, is refused with a PickleError: the entries are taken in as they are read.
// On an error `into` may hold some of the entries.
Value loads_pair_into(std::string_view data, Dict& into, std::size_t* entries_read = nullptr);

// Nesting deeper than this is refused when reading: deeper values could not be copied or
// destroyed without exhausting the thread's stack.
inline constexpr std::size_t max_depth = 5000;

// Writes one protocol-4 pickle piece by piece, for callers that hold their data in their own
// types and should not build a Value first (message batches, state maps). Containers nest:
// begin_*() ... end_*(). Dict entries are written as key then value. finish() writes STOP.
// Misuse (an unbalanced end, a key without a value, finish() with no single value) is a
// ValueError. Text must be valid UTF-8, as Python needs to read it back.
class Writer {
 public:
  // Writes the protocol header to `out` at once.
  explicit Writer(std::string& out);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Room for about `bytes` more output, for writers that can tell: saves the output's growth.
  void reserve(std::size_t bytes);
  void none();
  void boolean(bool b);
  void integer(std::int64_t i);
  void floating(double d);
  void text(std::string_view s);
  void bytes(std::string_view b);
  void value(const Value& v);
  // A whole dict, as value() would write it, for callers that hold a Dict outside a Value.
  void dict(const Dict& d);
  void begin_list();
  void end_list();
  void begin_tuple();
  void end_tuple();
  void begin_dict();
  void end_dict();
  void finish();

 private:
  struct Frame;
  std::string& _out;
  std::vector<Frame> _stack;
  std::size_t _top_items = 0;
  void item_added();
};

}  // namespace vesk::pickle

#pragma once
// The error kinds a value, a codec or a partitioner raises about its input. Header-only and free
// of the event loop, so a user of the pickle codec pulls in nothing else.

#include <stdexcept>

namespace vesk {

// An argument or value of the wrong kind.
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// An argument or value of the right kind but an unusable content.
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Raised when a dict has no entry for a key.
class KeyError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

}  // namespace vesk

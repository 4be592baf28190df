#pragma once
// The error of a checkpoint that another owner's write has overtaken.

#include <exception>
#include <stdexcept>

namespace vesk {

// The state file is no longer the version this consumer restored or wrote: another owner of
// the partition has stored since. Never retried: the consumer ends.
class StateFileTakenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline bool is_state_file_taken(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const StateFileTakenError&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace vesk

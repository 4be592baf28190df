#pragma once
// Error kinds shared by every module, and the one place that recognises cancellation.

#include <exception>
#include <stdexcept>
#include <string>

namespace vesk {

// Raised in a task that was cancelled, and in whoever awaits it. Never an error to log.
class CancelledError : public std::exception {
 public:
  const char* what() const noexcept override { return "task cancelled"; }
};

// An operation that needs the running event loop was called where none runs.
class NoRunningLoopError : public std::runtime_error {
 public:
  NoRunningLoopError() : std::runtime_error("no event loop is running on this thread") {}
};

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

// True for CancelledError and for asio's operation_aborted, the two forms cancellation takes.
bool is_cancellation(const std::exception_ptr& error) noexcept;

// Rethrows `error` when it is a cancellation; otherwise returns. For catch-all blocks that log
// and go on: they must never swallow a cancellation.
void rethrow_if_cancellation(const std::exception_ptr& error);

// The error's own message text (what()), or a fixed text for non-standard exceptions.
std::string error_text(const std::exception_ptr& error);

// A multi-line description of the error: its type and message, and the chain of nested errors
// (std::nested_exception) that led to it. Used where a log line carries the error's trace.
std::string error_trace(const std::exception_ptr& error);

}  // namespace vesk

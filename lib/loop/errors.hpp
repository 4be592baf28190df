#pragma once
// Cancellation and the loop's own errors, and the one place that recognises cancellation. The
// input error kinds (TypeError, ValueError, KeyError) come from errors/errors.hpp.

#include "vesk/errors/errors.hpp"

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

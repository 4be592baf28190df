#include "vesk/loop/errors.hpp"

#include <cxxabi.h>
#include <asio/error.hpp>

#include <cstdlib>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace vesk {
namespace {

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(name);
}

void describe(const std::exception& e, std::string& out, int depth) {
  out += depth == 0 ? "Traceback: " : "\n  caused by: ";
  out += demangle(typeid(e).name());
  out += ": ";
  out += e.what();
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    describe(inner, out, depth + 1);
  } catch (...) {
    out += "\n  caused by: unknown error";
  }
}

}  // namespace

bool is_cancellation(const std::exception_ptr& error) noexcept {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const CancelledError&) {
    return true;
  } catch (const std::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

void rethrow_if_cancellation(const std::exception_ptr& error) {
  if (is_cancellation(error)) std::rethrow_exception(error);
}

std::string error_text(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

std::string error_trace(const std::exception_ptr& error) {
  if (!error) return {};
  std::string out;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    describe(e, out, 0);
  } catch (...) {
    out = "Traceback: unknown error";
  }
  return out;
}

}  // namespace vesk

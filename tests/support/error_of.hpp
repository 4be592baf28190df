#pragma once
// The message of the exception `fn` throws, or "no error": a failed expectation then shows what
// was thrown.

#include <exception>
#include <string>

namespace vesk::testing {

template <class Fn>
std::string error_of(Fn fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace vesk::testing

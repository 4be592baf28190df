#pragma once
// Environment variables for tests: one set for a scope, and those that lead the engine to the
// build tree's workers.

#include <cstdlib>
#include <optional>
#include <string>

namespace vesk::testing {

// An environment variable set for the scope's duration.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : _name(name) {
    if (const char* old = std::getenv(name)) _old = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (_old) {
      ::setenv(_name, _old->c_str(), 1);
    } else {
      ::unsetenv(_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* _name;
  std::optional<std::string> _old;
};

#ifdef VESK_TEST_WORKER_PROGRAM
// The handler modules and the worker program of the build tree, found through the environment
// while it lives (tests declared WORKERS).
struct BuildTreeWorkers {
  ScopedEnv handler_path{"VESK_HANDLER_PATH", VESK_TEST_HANDLER_DIR};
  ScopedEnv worker_program{"VESK_WORKER_PROGRAM", VESK_TEST_WORKER_PROGRAM};
};
#endif

}  // namespace vesk::testing

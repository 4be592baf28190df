#pragma once
// Runs the engine's worker processes through a small wrapper program that records each worker's
// pid and appends its output to a file, so that end-to-end tests can read the workers' lines
// and check that every worker has ended.

#include "test_directory.hpp"
#include "vesk/loop/task.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vesk::testing {

// True once `pid` has ended; a zombie left to a parent that does not reap it counts as ended.
inline bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class WorkerSpy {
 public:
  // Writes the wrapper into `directory` and points VESK_WORKER_PROGRAM at it until destroyed.
  WorkerSpy(const std::string& worker_program, const std::filesystem::path& directory)
      : _pids(directory / "worker.pids"), _out(directory / "worker.out") {
    const auto script = directory / "worker.sh";
    {
      std::ofstream s(script);
      // exec keeps the pid, so the worker is still the engine's child.
      s << "#!/bin/sh\necho $$ >> '" << _pids.string() << "'\nexec '" << worker_program << "' \"$@\" >> '"
        << _out.string() << "' 2>&1\n";
    }
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    if (const char* old = std::getenv("VESK_WORKER_PROGRAM")) _old = old;
    ::setenv("VESK_WORKER_PROGRAM", script.c_str(), 1);
  }
  ~WorkerSpy() {
    if (_old) {
      ::setenv("VESK_WORKER_PROGRAM", _old->c_str(), 1);
    } else {
      ::unsetenv("VESK_WORKER_PROGRAM");
    }
  }
  WorkerSpy(const WorkerSpy&) = delete;
  WorkerSpy& operator=(const WorkerSpy&) = delete;

  // Everything the workers wrote so far.
  std::string output() const { return read(_out); }

  std::vector<std::string> lines_starting_with(const std::string& prefix) const {
    std::vector<std::string> out;
    std::istringstream in(output());
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(prefix)) out.push_back(line);
    }
    return out;
  }

  std::vector<pid_t> pids() const {
    std::vector<pid_t> out;
    std::istringstream in(read(_pids));
    for (long pid = 0; in >> pid;) out.push_back(static_cast<pid_t>(pid));
    return out;
  }

  // True once every worker started so far has ended (a zombie counts as ended), false after `limit`.
  Awaitable<bool> all_ended(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      bool ended = true;
      for (pid_t pid : pids()) ended = ended && process_gone(pid);
      if (ended) co_return true;
      if (std::chrono::steady_clock::now() > deadline) co_return false;
      co_await sleep(std::chrono::milliseconds(20));
    }
  }

 private:
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path _pids;
  std::filesystem::path _out;
  std::optional<std::string> _old;
};

}  // namespace vesk::testing

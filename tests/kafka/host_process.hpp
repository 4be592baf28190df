#pragma once
// One kafka_host process of a multi-host test, with its own log file: started, signalled,
// stopped with SIGTERM, and its log read back.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vesk::testing {

class HostProcess {
 public:
  // `args` follow the program; `env` is added to this process's environment.
  HostProcess(const std::string& program, std::vector<std::string> args, std::string log_file,
              const std::map<std::string, std::string>& env = {})
      : log_file(std::move(log_file)) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (!env.count(entry.substr(0, entry.find('=')))) env_text.push_back(entry);
    }
    for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  }
  ~HostProcess() {
    if (pid > 0) {
      ::kill(pid, SIGCONT);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // SIGTERM, then waits for the exit; the wait status (0 for a clean exit).
  int stop() {
    if (pid <= 0) return -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
  void signal(int number) const { ::kill(pid, number); }

  std::string log() const { return read(log_file); }
  int count(const std::string& text) const {
    const std::string all = log();
    int n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
    return n;
  }
  // The sum of N over the log's lines that contain "<before>N".
  long long sum_after(const std::string& before) const { return sum_after(log(), before); }

  static std::string read(const std::string& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static long long sum_after(const std::string& text, const std::string& before) {
    long long total = 0;
    for (auto at = text.find(before); at != std::string::npos; at = text.find(before, at + before.size())) {
      total += std::atoll(text.c_str() + at + before.size());
    }
    return total;
  }

  pid_t pid = -1;
  std::string log_file;
};

// Polls `done` every 100 ms for at most `limit`; whether it held.
template <class Predicate>
bool within(std::chrono::seconds limit, Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace vesk::testing

#pragma once
// Starts the real worker program for tests and benchmarks, with its output captured in files,
// and kills and reaps it at the end.

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vesk::testing {

class SpawnedWorker {
 public:
  // Runs `program` with `args`; the environment is ours with VESK_HANDLER_PATH and
  // VESK_PARENT_PID set, then `env` (NAME=value entries) on top.
  SpawnedWorker(const std::string& program, const std::vector<std::string>& args, const std::string& handler_dir,
                std::vector<std::string> env = {}) {
    static int counter = 0;
    const std::string base = "/tmp/vesk_worker_test." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    _out_path = base + ".out";
    _err_path = base + ".err";

    std::vector<std::string> envs;
    std::vector<std::string> overrides{"VESK_HANDLER_PATH=" + handler_dir,
                                       "VESK_PARENT_PID=" + std::to_string(::getpid())};
    for (const auto& e : env) {
      const std::string name = e.substr(0, e.find('=') + 1);
      std::erase_if(overrides, [&](const std::string& o) { return o.starts_with(name); });
      overrides.push_back(e);
    }
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      bool replaced = false;
      for (const auto& o : overrides)
        replaced = replaced || entry.substr(0, entry.find('=') + 1) == o.substr(0, o.find('=') + 1);
      if (!replaced) envs.push_back(entry);
    }
    envs.insert(envs.end(), overrides.begin(), overrides.end());

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, _out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, _err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = ::posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(rc));
  }

  ~SpawnedWorker() {
    if (_pid > 0 && !_exit_status) {
      ::kill(_pid, SIGKILL);
      ::waitpid(_pid, nullptr, 0);
    }
    std::remove(_out_path.c_str());
    std::remove(_err_path.c_str());
  }
  SpawnedWorker(const SpawnedWorker&) = delete;
  SpawnedWorker& operator=(const SpawnedWorker&) = delete;

  pid_t pid() const { return _pid; }

  // The exit status once the process has ended within `limit` (128 + n when killed by signal n).
  std::optional<int> wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!_exit_status) {
      int status = 0;
      const pid_t r = ::waitpid(_pid, &status, WNOHANG);
      if (r == _pid) {
        _exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return _exit_status;
  }

  std::string out() const { return read_file(_out_path); }
  std::string err() const { return read_file(_err_path); }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  pid_t _pid = -1;
  std::optional<int> _exit_status;
  std::string _out_path;
  std::string _err_path;
};

}  // namespace vesk::testing

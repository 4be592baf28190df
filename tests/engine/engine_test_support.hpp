#pragma once
// Helpers for the engine tests: an in-memory file backend with fault hooks, a stand-in worker
// that speaks the channel protocol from the test, child-process inspection and polling waits.

#include "channel/channel.hpp"
#include "eventually.hpp"
#include "loop/event_loop.hpp"
#include "vesk_file_backend/vesk_file_backend.hpp"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace vesk::testing {

// Files in a map. `before_get` runs before every read and may throw or suspend, so tests can
// fail or hold a consumer's restore.
class MemoryBackend : public VeskFileBackend {
 public:
  std::map<std::string, std::string> files;
  std::function<Awaitable<void>(const std::string&)> before_get;
  int gets = 0;
  int sets = 0;

  Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) override {
    ++gets;
    if (before_get) co_await before_get(file_path);
    auto it = files.find(prefix + file_path);
    if (it == files.end()) co_return std::nullopt;
    co_return it->second;
  }
  Awaitable<void> set_file_contents_async(std::string file_path, std::string content) override {
    ++sets;
    files[prefix + file_path] = std::move(content);
    co_return;
  }
};

// The children of this process, running or zombie: (pid, state letter).
inline std::vector<std::pair<pid_t, char>> child_processes() {
  std::vector<std::pair<pid_t, char>> out;
  const pid_t self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  while (auto* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (comm) state ppid ...": comm may hold spaces, so read after the last ')'.
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = '?';
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == self) out.emplace_back(static_cast<pid_t>(pid), state);
  }
  ::closedir(proc);
  return out;
}

// Sets an environment variable for the scope's duration.
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

}  // namespace vesk::testing

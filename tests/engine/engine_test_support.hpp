#pragma once
// Helpers for the engine tests: an in-memory file backend with fault hooks, a stand-in worker
// that speaks the channel protocol from the test, child-process inspection and polling waits.

#include "eventually.hpp"
#include "test_environment.hpp"
#include "vesk/channel/channel.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
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
  // A version is its contents, so that files a test puts in the map have one too.
  Awaitable<VersionedContents> get_versioned_file_contents_async(std::string file_path) override {
    VersionedContents out;
    out.contents = co_await get_file_contents_async(std::move(file_path));
    if (out.contents) out.tag = tag_of(*out.contents);
    co_return out;
  }
  Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                         std::optional<std::string> expected_tag) override {
    auto it = files.find(prefix + file_path);
    const auto now = it == files.end() ? std::nullopt : std::optional<std::string>(tag_of(it->second));
    if (now != expected_tag) co_return ConditionalWrite{false, ""};
    std::string tag = tag_of(content);
    co_await set_file_contents_async(std::move(file_path), std::move(content));
    co_return ConditionalWrite{true, std::move(tag)};
  }
  bool has_conditional_writes() const noexcept override { return true; }
  static std::string tag_of(const std::string& contents) {
    return std::to_string(contents.size()) + "-" + std::to_string(std::hash<std::string>{}(contents));
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

}  // namespace vesk::testing

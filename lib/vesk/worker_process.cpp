#include "vesk/worker_process.hpp"

#include "channel/handshake.hpp"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vesk {
namespace {

// Waits for killed workers one by one, off the event loop: a killed process ends within
// moments, and nobody should have to wait for that.
class Reaper {
 public:
  static Reaper& instance() {
    static Reaper reaper;
    return reaper;
  }

  void add(pid_t pid) {
    {
      std::lock_guard lock(_mutex);
      _pids.push_back(pid);
      if (!_thread.joinable()) _thread = std::thread([this] { loop(); });
    }
    _wake.notify_one();
  }

  ~Reaper() {
    {
      std::lock_guard lock(_mutex);
      _stopping = true;
    }
    _wake.notify_one();
    if (_thread.joinable()) _thread.join();
  }

 private:
  void loop() {
    std::unique_lock lock(_mutex);
    for (;;) {
      _wake.wait(lock, [this] { return _stopping || !_pids.empty(); });
      if (_pids.empty()) return;  // stopping, nothing left to reap
      pid_t pid = _pids.front();
      _pids.pop_front();
      lock.unlock();
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      lock.lock();
    }
  }

  std::mutex _mutex;
  std::condition_variable _wake;
  std::deque<pid_t> _pids;
  bool _stopping = false;
  std::thread _thread;
};

struct SpawnFileActions {
  posix_spawn_file_actions_t actions;
  SpawnFileActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

// Entries the host sets for the child itself, and the host's own credentials, which no
// handler needs: the broker password and the storage connection string (it holds the
// account key).
bool withheld_from_workers(std::string_view entry) {
  for (std::string_view name : {"VESK_PARENT_PID", "VESK_WORKER_SECRET", "KAFKA_SASL_PASSWORD",
                                "AZURE_STORAGE_CONNECTION_STRING"}) {
    if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=') return true;
  }
  return false;
}

bool is_executable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

// The directory of the shared library holding this code.
std::string library_directory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&library_directory), &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code ec;
  auto path = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) return {};
  return path.parent_path().string();
}

}  // namespace

WorkerProcess::WorkerProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::string& channel_secret) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // Only the standard streams cross over: the host's sockets (other workers' listeners and
  // channels, broker connections) must not stay open in a worker.
  SpawnFileActions files;
  if (int rc = posix_spawn_file_actions_addclosefrom_np(&files.actions, 3); rc != 0) {
    throw std::system_error(rc, std::generic_category(), "posix_spawn_file_actions_addclosefrom_np");
  }
  // A clean signal state, whatever the host thread had blocked or ignored.
  SpawnAttributes attributes;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attributes.attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes.attributes, &defaults);
  posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The worker checks that its parent is still this process once it has asked to die with it,
  // which closes the window in which the host could end before that request.
  std::vector<std::string> environment;
  bool malloc_tuned = false;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.rfind("GLIBC_TUNABLES=", 0) == 0) malloc_tuned = true;
    if (!withheld_from_workers(entry)) environment.emplace_back(*e);
  }
  environment.push_back("VESK_PARENT_PID=" + std::to_string(::getpid()));
  // The environment, unlike the command line, is readable only by the process's owner.
  if (!channel_secret.empty()) environment.push_back(std::string(worker_secret_variable) + "=" + channel_secret);
  // A worker's heap holds every key state of its share of the partition and is filled at once on
  // hand-over: backed by huge pages it takes a page fault per 2 MB instead of per 4 KB, which on
  // virtual machines is most of the hand-over's time. A host that sets its own tunables keeps them.
  if (!malloc_tuned) environment.emplace_back("GLIBC_TUNABLES=glibc.malloc.hugetlb=1");
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &files.actions, &attributes.attributes, argv.data(), envp.data());
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start worker program " + program);
  _pid = pid;
}

WorkerProcess::~WorkerProcess() { kill(); }

void WorkerProcess::kill() noexcept {
  if (_killed || _pid <= 0) return;
  _killed = true;
  // The process is ours until reaped, so the pid cannot have been reused: killing is safe even
  // when it has already ended.
  ::kill(_pid, SIGKILL);
  try {
    Reaper::instance().add(_pid);
  } catch (...) {
    // Without a reaper thread, wait here: a killed process ends at once.
    while (::waitpid(_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string WorkerProcess::program_path() {
  if (const char* env = std::getenv("VESK_WORKER_PROGRAM"); env != nullptr && *env != '\0') return env;
  std::vector<std::string> candidates;
  if (auto dir = library_directory(); !dir.empty()) {
    candidates.push_back(dir + "/" VESK_BINDIR_FROM_LIBDIR "/vesk_worker_host");
  }
#ifdef VESK_WORKER_BUILD_PROGRAM
  candidates.push_back(VESK_WORKER_BUILD_PROGRAM);
#endif
  candidates.push_back(VESK_WORKER_INSTALLED_PROGRAM);
  for (const auto& c : candidates) {
    if (is_executable(c)) return c;
  }
  std::string tried;
  for (const auto& c : candidates) tried += (tried.empty() ? "" : ", ") + c;
  throw std::runtime_error("the worker program vesk_worker_host was not found (looked at " + tried +
                           "); set VESK_WORKER_PROGRAM to its path");
}

}  // namespace vesk

#include "vesk/worker_process.hpp"

#include "vesk/channel/handshake.hpp"

#include "vesk/loop/task.hpp"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <dlfcn.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace vesk {
namespace {

// waitid()'s P_PIDFD (Linux 5.4), which glibc's headers do not name yet.
constexpr idtype_t waitid_by_pidfd = static_cast<idtype_t>(3);

// Waits until the process has ended and collects it. ECHILD (collected already) ends the wait too.
void reap(pid_t pid, int pidfd) noexcept {
  siginfo_t info{};
  if (pidfd >= 0) {
    // The loop's exit watch makes the pidfd non-blocking, and then waitid does not wait: poll.
    while (::waitid(waitid_by_pidfd, static_cast<id_t>(pidfd), &info, WEXITED) < 0) {
      if (errno == EAGAIN) {
        pollfd readable{pidfd, POLLIN, 0};
        ::poll(&readable, 1, -1);
      } else if (errno != EINTR) {
        break;
      }
    }
    ::close(pidfd);
  } else {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

// Waits for killed workers one by one, off the event loop: a killed process ends within
// moments, and nobody should have to wait for that.
class Reaper {
 public:
  static Reaper& instance() {
    static Reaper reaper;
    return reaper;
  }

  // `pidfd` (a copy the reaper closes, or -1) names exactly the process, whatever became of its pid.
  void add(pid_t pid, int pidfd) {
    {
      std::lock_guard lock(_mutex);
      _pids.push_back({pid, pidfd});
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
      auto [pid, pidfd] = _pids.front();
      _pids.pop_front();
      lock.unlock();
      reap(pid, pidfd);
      lock.lock();
    }
  }

  std::mutex _mutex;
  std::condition_variable _wake;
  std::deque<std::pair<pid_t, int>> _pids;
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
  for (std::string_view name :
       {"VESK_PARENT_PID", "VESK_WORKER_SECRET", "KAFKA_SASL_PASSWORD", "AZURE_STORAGE_CONNECTION_STRING"}) {
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
  // Opened before anyone can reap the child, so it always names this process.
  _pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

WorkerProcess::~WorkerProcess() {
  kill();
  if (_pidfd >= 0) ::close(_pidfd);
}

void WorkerProcess::kill() noexcept {
  if (_killed || _pid <= 0) return;
  _killed = true;
  // Collected already by wait_exit(): its pid may belong to another process by now.
  if (_reaped) return;
  // Until it is reaped the process is ours, so neither the pidfd nor the pid can name another:
  // killing is safe even when it has already ended.
  if (_pidfd < 0 || ::syscall(SYS_pidfd_send_signal, _pidfd, SIGKILL, nullptr, 0) != 0) ::kill(_pid, SIGKILL);
  const int reaper_fd = _pidfd >= 0 ? ::dup(_pidfd) : -1;
  try {
    Reaper::instance().add(_pid, reaper_fd);
  } catch (...) {
    // Without a reaper thread, wait here: a killed process ends at once.
    reap(_pid, reaper_fd);
  }
}

std::string WorkerProcess::ExitStatus::text() const {
  if (signal != 0) {
    const char* name = ::sigabbrev_np(signal);
    return "was killed by signal " + std::to_string(signal) +
           (name ? std::string(" (SIG") + name + ")" : std::string());
  }
  if (status < 0) return "ended, but its exit status was collected elsewhere";
  return "exited with status " + std::to_string(status);
}

Awaitable<WorkerProcess::ExitStatus> WorkerProcess::wait_exit() {
  if (_exit_status) co_return *_exit_status;
  if (_pidfd >= 0) {
    const int watched = ::dup(_pidfd);
    if (watched < 0)
      throw std::system_error(errno, std::generic_category(), "cannot watch worker process " + std::to_string(_pid));
    asio::posix::stream_descriptor pidfd(co_await asio::this_coro::executor, watched);
    co_await pidfd.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
  }
  for (;;) {
    if (_killed) {
      // Our own kill; the reaper collects it.
      _exit_status = ExitStatus{0, SIGKILL};
      co_return *_exit_status;
    }
    siginfo_t info{};
    const int rc = _pidfd >= 0 ? ::waitid(waitid_by_pidfd, static_cast<id_t>(_pidfd), &info, WEXITED | WNOHANG)
                               : ::waitid(P_PID, static_cast<id_t>(_pid), &info, WEXITED | WNOHANG);
    if (rc == 0 && info.si_pid != 0) {
      _reaped = true;
      _exit_status = info.si_code == CLD_EXITED ? ExitStatus{info.si_status, 0} : ExitStatus{0, info.si_status};
      co_return *_exit_status;
    }
    if (rc < 0 && errno == ECHILD) {
      // Someone else collected it (a host that ignores SIGCHLD): it has ended all the same.
      _reaped = true;
      _exit_status = ExitStatus{-1, 0};
      co_return *_exit_status;
    }
    const bool not_yet = rc == 0 || errno == EAGAIN;
    if (rc < 0 && !not_yet && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot wait for worker process " + std::to_string(_pid));
    }
    // No pidfd, or it was readable before the process could be collected: look again shortly.
    if (not_yet) co_await sleep(std::chrono::milliseconds(100));
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

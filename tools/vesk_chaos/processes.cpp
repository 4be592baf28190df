#include "processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vesk::chaos {

std::string Exit::text() const {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

bool Exit::clean() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

Processes::Processes() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    throw std::runtime_error(std::string("cannot become a child subreaper: ") + std::strerror(errno));
  }
}

pid_t Processes::start(const std::vector<std::string>& argv, const std::string& log_path) {
  // Everything the child needs is made before fork: after it, only async-signal-safe calls.
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) throw std::runtime_error("cannot open " + log_path + ": " + std::strerror(errno));
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(log);
    if (null >= 0) ::close(null);
    throw std::runtime_error(std::string("fork: ") + std::strerror(error));
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    // The soak's own signal mask and dispositions are not the child's.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(args[0], args.data());
    static const char failed[] = "vesk-chaos: cannot start the program\n";
    ssize_t ignored = ::write(STDERR_FILENO, failed, sizeof failed - 1);
    (void)ignored;
    ::_exit(127);
  }
  ::close(log);
  if (null >= 0) ::close(null);
  _started.insert(pid);
  return pid;
}

void Processes::reap() {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) return;
    if (_started.count(pid) == 0) ++_orphans;
    _ended[pid] = Exit{status};
  }
}

std::optional<Exit> Processes::exit_of(pid_t pid) const {
  auto it = _ended.find(pid);
  if (it == _ended.end()) return std::nullopt;
  return it->second;
}

void Processes::kill_all() {
  reap();
  for (pid_t pid : _started) {
    if (_ended.count(pid) == 0) {
      ::kill(pid, SIGCONT);
      ::kill(pid, SIGKILL);
    }
  }
}

std::optional<Exit> Processes::wait(pid_t pid, std::chrono::duration<double> limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    reap();
    if (auto e = exit_of(pid)) return e;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

// The fields of /proc/PID/stat after the command name: state first, then the parent's pid.
bool stat_of(pid_t pid, char& state, pid_t& parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  const auto close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(text.substr(close + 1));
  return static_cast<bool>(rest >> state >> parent);
}

}  // namespace

std::string command_line(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  return text;
}

namespace {

template <class Fits>
std::vector<pid_t> processes_where(Fits fits) {
  std::vector<pid_t> found;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return found;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    char state = 0;
    pid_t ppid = 0;
    if (stat_of(static_cast<pid_t>(pid), state, ppid) && fits(static_cast<pid_t>(pid), state, ppid)) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

std::vector<pid_t> children_of(pid_t parent, const std::string& word) {
  return processes_where([&](pid_t pid, char state, pid_t ppid) {
    return ppid == parent && state != 'Z' && command_line(pid).find(word) != std::string::npos;
  });
}

std::vector<pid_t> zombies_of(pid_t parent) {
  return processes_where([&](pid_t, char state, pid_t ppid) { return ppid == parent && state == 'Z'; });
}

std::optional<long> peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

bool exists(pid_t pid, bool* zombie) {
  char state = 0;
  pid_t parent = 0;
  if (!stat_of(pid, state, parent)) return false;
  if (zombie != nullptr) *zombie = state == 'Z';
  return true;
}

}  // namespace vesk::chaos

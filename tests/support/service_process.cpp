#include "service_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vesk::testing {

ServiceProcess spawn_service(std::vector<std::string> args, ServiceTie tie, bool with_stderr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    if (tie == ServiceTie::parent_death_signal) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    } else {
      ::setpgid(0, 0);
    }
    if (::getppid() != parent) ::_exit(127);
    ::dup2(fds[1], STDOUT_FILENO);
    if (with_stderr) ::dup2(fds[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

bool read_until(int fd, std::string& output, std::chrono::steady_clock::time_point deadline,
                const std::function<bool(const std::string&)>& ready) {
  while (!ready(output)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int polled = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    char buffer[4096];
    const ssize_t n = polled > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vesk::testing

#pragma once
// Child processes of the soak: started with their output in a log file, signalled, and reaped in
// one place. The soak process is a child subreaper, so the workers of a killed host become its
// children too: every process the soak leads to is collected here, and none can linger unseen.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vesk::chaos {

// How a process ended, as waitpid reported it.
struct Exit {
  int status = 0;
  std::string text() const;  // "exit status N" or "signal N"
  bool clean() const;        // exit status 0
};

class Processes {
 public:
  // Makes this process a child subreaper.
  Processes();

  // Starts `argv` with standard output and error appended to `log_path`. The child is killed
  // when the soak dies.
  pid_t start(const std::vector<std::string>& argv, const std::string& log_path);
  // Collects every child that has ended (our own and orphans handed to us).
  void reap();
  // How `pid` ended, once reaped.
  std::optional<Exit> exit_of(pid_t pid) const;
  // Waits up to `limit` for `pid` to end; reaps meanwhile.
  std::optional<Exit> wait(pid_t pid, std::chrono::duration<double> limit);
  // Orphans reaped that were not started here (workers of a host that died).
  std::size_t orphans_reaped() const { return _orphans; }
  // Sends SIGKILL to every process started here that has not been reaped.
  void kill_all();

 private:
  std::set<pid_t> _started;
  std::map<pid_t, Exit> _ended;
  std::size_t _orphans = 0;
};

// Live processes whose parent is `parent` and whose command line holds `word`.
std::vector<pid_t> children_of(pid_t parent, const std::string& word);
// Children of `parent` that have ended and wait to be collected by it.
std::vector<pid_t> zombies_of(pid_t parent);
// The peak resident set (VmHWM) of a live process in KiB; none when it is gone.
std::optional<long> peak_rss_kib(pid_t pid);
// True while `pid` exists and is not a zombie. `zombie` tells which of the two it is.
bool exists(pid_t pid, bool* zombie = nullptr);
// The command line of a live process, words joined by spaces.
std::string command_line(pid_t pid);

}  // namespace vesk::chaos

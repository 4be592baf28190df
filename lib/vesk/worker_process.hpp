#pragma once
// One worker process of a partition consumer: started with posix_spawn, watched through a pidfd
// so that the event loop learns when it ends, killed with SIGKILL and reaped in the background,
// so that no worker is left running or as a zombie.

#include "vesk/loop/event_loop.hpp"

#include <sys/types.h>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

class WorkerProcess {
 public:
  // How a process ended: its exit status, or the signal that ended it.
  struct ExitStatus {
    int status = 0;
    int signal = 0;  // non-zero when a signal ended the process
    // "exited with status 3", "was killed by signal 9 (Killed)"
    std::string text() const;
  };

  // Starts `program` with `args` (argv[1] …). The child inherits no file descriptor beyond
  // standard input, output and error, and this process's environment without
  // KAFKA_SASL_PASSWORD and AZURE_STORAGE_CONNECTION_STRING; `channel_secret`, when given, is
  // set as its VESK_WORKER_SECRET. Fails with std::system_error naming the program.
  WorkerProcess(const std::string& program, const std::vector<std::string>& args,
                const std::string& channel_secret = {});
  // Kills the process if kill() was not called yet.
  ~WorkerProcess();
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  pid_t pid() const noexcept { return _pid; }
  // Terminates the process forcibly without waiting for it; a background thread reaps it.
  // Later calls do nothing.
  void kill() noexcept;
  bool killed() const noexcept { return _killed; }

  // Suspends until the process has ended and returns how; reaps it unless kill() was called,
  // whose reaper does that. Cancellable. One waiter at a time.
  Awaitable<ExitStatus> wait_exit();
  // How the process ended, once wait_exit() has seen it end.
  const std::optional<ExitStatus>& exit_status() const noexcept { return _exit_status; }

  // The worker program: $VESK_WORKER_PROGRAM when set and not empty; otherwise
  // vesk_worker_host installed beside this library (<libdir>/<bindir relative>), then the one in
  // the build tree, then the one in the configured install prefix. Fails with a message listing
  // the places it looked when none exists.
  static std::string program_path();

 private:
  pid_t _pid = -1;
  // A descriptor for exactly this process (pidfd_open), readable once it has ended; -1 where the
  // kernel offers none, and exits are then polled.
  int _pidfd = -1;
  std::atomic<bool> _killed = false;
  bool _reaped = false;
  std::optional<ExitStatus> _exit_status;
};

}  // namespace vesk

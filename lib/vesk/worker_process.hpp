#pragma once
// One worker process of a partition consumer: started with posix_spawn, killed with SIGKILL and
// reaped in the background, so that no worker is left running or as a zombie.

#include <string>
#include <sys/types.h>
#include <vector>

namespace vesk {

class WorkerProcess {
 public:
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

  // The worker program: $VESK_WORKER_PROGRAM when set and not empty; otherwise
  // vesk_worker_host installed beside this library (<libdir>/<bindir relative>), then the one in
  // the build tree, then the one in the configured install prefix. Fails with a message listing
  // the places it looked when none exists.
  static std::string program_path();

 private:
  pid_t _pid = -1;
  bool _killed = false;
};

}  // namespace vesk

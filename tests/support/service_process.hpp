#pragma once
// Starting a real service for a test (Azurite, a Kafka cluster) with its output on a pipe, and
// reading that output until the service says it is ready.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vesk::testing {

struct ServiceProcess {
  pid_t pid = -1;
  int output = -1;  // the read end of the child's standard output (and error, when asked)
};

enum class ServiceTie {
  // The child gets SIGKILL when the thread that started it ends.
  parent_death_signal,
  // The child leads a process group of its own, so that one kill() reaches everything it starts.
  own_process_group,
};

// Forks and executes args[0] with `args`; throws with the system's message when it cannot fork.
ServiceProcess spawn_service(std::vector<std::string> args, ServiceTie tie, bool with_stderr);

// Appends what `fd` gives to `output` until `ready(output)`; false when the output ends or the
// deadline passes first.
bool read_until(int fd, std::string& output, std::chrono::steady_clock::time_point deadline,
                const std::function<bool(const std::string&)>& ready);

}  // namespace vesk::testing

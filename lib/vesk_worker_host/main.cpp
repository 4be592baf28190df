// vesk_worker_host HOST PORT HANDLER_PATH: one worker process of a partition consumer.

#include "vesk/vesk_worker_host/vesk_worker_host.hpp"

#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#ifdef VESK_WORKER_JEMALLOC
// Read by jemalloc when it starts; MALLOC_CONF still overrides it. A worker's heap fills with a
// partition's states at once, and huge pages make that far cheaper on virtual machines: what
// glibc.malloc.hugetlb=1 gives a worker on glibc's allocator.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "thp:always";
}
#endif

namespace {

int usage() {
  std::fputs("usage: vesk_worker_host HOST PORT HANDLER_PATH  (HANDLER_PATH may be empty)\n", stderr);
  return 2;
}

bool parse_number(const char* text, long long min, long long max, long long& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || n < min || n > max) return false;
  out = n;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const pid_t parent_at_start = ::getppid();
  // The worker must not outlive the process that started it.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    std::perror("vesk_worker_host: prctl(PR_SET_PDEATHSIG)");
    return 1;
  }
  // The parent may have ended before the line above: then nothing would ever kill us.
  long long expected_parent = parent_at_start;
  if (const char* env = std::getenv("VESK_PARENT_PID"); env != nullptr && *env != '\0') {
    if (!parse_number(env, 1, 0x7fffffff, expected_parent)) {
      std::fprintf(stderr, "vesk_worker_host: VESK_PARENT_PID is not a process id: '%s'\n", env);
      return 2;
    }
  }
  if (::getppid() != static_cast<pid_t>(expected_parent)) {
    std::fprintf(stderr, "vesk_worker_host: the process that started this worker (pid %lld) has already ended\n",
                 expected_parent);
    return 1;
  }
  // Errors on a closed channel or standard output are reported, not fatal.
  std::signal(SIGPIPE, SIG_IGN);
  // Every batch and collection allocates and frees about the same memory again: keep it in the
  // heap rather than handing it back to the system and faulting it in anew each time.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
  ::mallopt(M_TOP_PAD, 16 << 20);

  if (argc != 4) return usage();
  long long port = 0;
  if (!parse_number(argv[2], 1, 65535, port)) {
    std::fprintf(stderr, "vesk_worker_host: PORT must be a number from 1 to 65535, got '%s'\n", argv[2]);
    return 2;
  }
  std::optional<std::string> path;
  if (argv[3][0] != '\0') path = argv[3];
  try {
    vesk::VeskWorkerHost host({argv[1], static_cast<std::uint16_t>(port)}, path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vesk_worker_host: %s\n", e.what());
    return 1;
  }
  return 0;
}

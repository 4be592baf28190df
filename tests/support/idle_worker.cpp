// A stand-in worker program for engine tests whose workers are played by the test itself: it
// never connects and lives until it is killed, or until the process that started it ends.
#include <sys/prctl.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>

int main() {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const char* parent = std::getenv("VESK_PARENT_PID");
  if (parent != nullptr && std::atol(parent) != static_cast<long>(::getppid())) return 0;
  for (;;) ::pause();
}

#include "azurite.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk::testing {
namespace {

constexpr const char* account = "devstoreaccount1";
constexpr const char* account_key =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
constexpr const char* listen_text = "successfully listens on http://127.0.0.1:";

// Keeps reading the child's output after start-up, so that it never blocks on a full pipe.
void drain(int fd) {
  std::thread([fd] {
    char buffer[4096];
    while (true) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    ::close(fd);
  }).detach();
}

}  // namespace

Azurite::Azurite() { start(0); }

Azurite::~Azurite() { stop(); }

void Azurite::start(int port) {
  const std::string program = VESK_AZURITE_BLOB;
  if (::access(program.c_str(), X_OK) != 0) {
    throw std::runtime_error("Azurite is not installed at " + program + " (run scripts/install-deps)");
  }
  const std::string port_text = std::to_string(port);
  std::vector<std::string> args{program, "--blobHost", "127.0.0.1", "--blobPort", port_text,
                                "--inMemoryPersistence", "--disableTelemetry", "--silent", "--skipApiVersionCheck"};
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
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  _pid = pid;

  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (true) {
    const auto pos = output.find(listen_text);
    if (pos != std::string::npos && output.find('\n', pos) != std::string::npos) {
      _port = std::stoi(output.substr(pos + std::strlen(listen_text)));
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    char buffer[4096];
    const ssize_t n = ready > 0 ? ::read(fds[0], buffer, sizeof buffer) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fds[0]);
      stop();
      throw std::runtime_error("Azurite did not start" + std::string(ready == 0 ? " within 30 s" : "") +
                               "; its output:\n" + output);
    }
    output.append(buffer, static_cast<std::size_t>(n));
  }
  _output_fd = fds[0];
  drain(_output_fd);
}

void Azurite::stop() {
  if (_pid <= 0) return;
  ::kill(_pid, SIGCONT);
  ::kill(_pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (::waitpid(_pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(_pid, SIGKILL);
      ::waitpid(_pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  _pid = -1;
}

void Azurite::restart() {
  stop();
  // The port was just released; give the system a few tries to hand it out again.
  for (int attempt = 0;; ++attempt) {
    try {
      start(_port);
      return;
    } catch (const std::exception&) {
      if (attempt == 4) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
}

void Azurite::pause() {
  if (_pid > 0) ::kill(_pid, SIGSTOP);
}

void Azurite::resume() {
  if (_pid > 0) ::kill(_pid, SIGCONT);
}

std::string Azurite::blob_endpoint() const {
  return "http://127.0.0.1:" + std::to_string(_port) + "/" + account;
}

std::string Azurite::connection_string() const {
  return std::string("DefaultEndpointsProtocol=http;AccountName=") + account + ";AccountKey=" + account_key +
         ";BlobEndpoint=" + blob_endpoint() + ";";
}

std::string Azurite::connection_string_with_wrong_key() const {
  return std::string("DefaultEndpointsProtocol=http;AccountName=") + account +
         ";AccountKey=d3JvbmcgYWNjb3VudCBrZXkgZm9yIHRoZSB0ZXN0;BlobEndpoint=" + blob_endpoint() + ";";
}

}  // namespace vesk::testing

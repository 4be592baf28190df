#include "azurite.hpp"

#include "service_process.hpp"

#include <signal.h>
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
  std::vector<std::string> args{program,
                                "--blobHost",
                                "127.0.0.1",
                                "--blobPort",
                                port_text,
                                "--inMemoryPersistence",
                                "--disableTelemetry",
                                "--silent",
                                "--skipApiVersionCheck"};
  const auto service = spawn_service(std::move(args), ServiceTie::parent_death_signal, true);
  _pid = service.pid;

  std::string output;
  const auto listening = [](const std::string& text) {
    const auto pos = text.find(listen_text);
    return pos != std::string::npos && text.find('\n', pos) != std::string::npos;
  };
  if (!read_until(service.output, output, std::chrono::steady_clock::now() + std::chrono::seconds(30), listening)) {
    ::close(service.output);
    stop();
    throw std::runtime_error("Azurite ended, or did not start within 30 s; its output:\n" + output);
  }
  _port = std::stoi(output.substr(output.find(listen_text) + std::strlen(listen_text)));
  _output_fd = service.output;
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

std::string Azurite::blob_endpoint() const { return "http://127.0.0.1:" + std::to_string(_port) + "/" + account; }

std::string Azurite::connection_string() const {
  return std::string("DefaultEndpointsProtocol=http;AccountName=") + account + ";AccountKey=" + account_key +
         ";BlobEndpoint=" + blob_endpoint() + ";";
}

std::string Azurite::connection_string_with_wrong_key() const {
  return std::string("DefaultEndpointsProtocol=http;AccountName=") + account +
         ";AccountKey=d3JvbmcgYWNjb3VudCBrZXkgZm9yIHRoZSB0ZXN0;BlobEndpoint=" + blob_endpoint() + ";";
}

}  // namespace vesk::testing

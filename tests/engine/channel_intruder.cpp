// channel_intruder HOST PORT HANDLER_PATH: started in place of the worker program, it plays a
// hostile local process that reaches the consumer's listener before the real worker does, then
// starts the real worker with the same arguments.
//
// A child process, without the worker's secret, first opens a connection that sends nothing and
// keeps it open, then a second one that sends a handshake and acts as a worker would: it answers
// a collection with forged states. Only once that second connection has ended does the real
// worker start. Environment:
//   VESK_INTRUDER_WORKER   the real worker program
//   VESK_INTRUDER_REPORT   a file to which the child appends "refused" or "accepted"
//   VESK_INTRUDER_FRAME    "guess": a handshake with a made-up secret; "capture": save this
//                          worker's handshake to VESK_INTRUDER_CAPTURE and play no intruder;
//                          "replay": send the handshake saved in VESK_INTRUDER_CAPTURE

#include "vesk/channel/handshake.hpp"
#include "vesk/channel/worker_protocol.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/values/value.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

int connect_to(const char* host, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, host, &address.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

bool read_exactly(int fd, char* out, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::read(fd, out, n);
    if (got <= 0) return false;
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<vesk::Value> receive(int fd) {
  unsigned char header[4];
  if (!read_exactly(fd, reinterpret_cast<char*>(header), 4)) return std::nullopt;
  std::string body((std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3], '\0');
  if (!read_exactly(fd, body.data(), body.size())) return std::nullopt;
  return vesk::pickle::loads(body);
}

void send(int fd, const vesk::Value& value) {
  std::string body = vesk::pickle::dumps(value);
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string frame{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
  frame += body;
  (void)!::write(fd, frame.data(), frame.size());
}

// Acts as a worker on `fd` for as long as the consumer talks to it; true when it got a hand-over.
bool play_worker(int fd) {
  auto first = receive(fd);
  if (!first || !first->is_dict()) return false;
  for (;;) {
    auto value = receive(fd);
    if (!value) return true;
    if (vesk::worker_protocol::CollectRequest::is(*value)) {
      vesk::Dict forged;
      forged.set(vesk::Value("alpha"), vesk::Value(1337));
      forged.set(vesk::Value("INJECTED-BY-ATTACKER"), vesk::Value(42));
      send(fd, vesk::Value(std::move(forged)));
    } else {
      std::string drained;
      vesk::worker_protocol::Drained::encode(drained);
      send(fd, vesk::pickle::loads(drained));
    }
  }
}

void intrude(const char* host, int port, const std::string& frame, int done_fd) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  int silent = connect_to(host, port);
  int talker = connect_to(host, port);
  if (talker >= 0) (void)!::write(talker, frame.data(), frame.size());
  const bool accepted = talker >= 0 && play_worker(talker);
  std::ofstream(env("VESK_INTRUDER_REPORT"), std::ios::app) << (accepted ? "accepted\n" : "refused\n");
  (void)!::write(done_fd, "x", 1);
  // The silent connection stays open while the real worker connects.
  pollfd wait{silent, POLLIN, 0};
  ::poll(&wait, 1, 30000);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = env("VESK_INTRUDER_FRAME");
  const std::string secret = env(vesk::worker_secret_variable);
  std::string frame;
  if (mode == "capture") {
    std::ofstream(env("VESK_INTRUDER_CAPTURE"), std::ios::binary) << vesk::handshake_frame(secret);
  } else if (mode == "replay") {
    std::ifstream in(env("VESK_INTRUDER_CAPTURE"), std::ios::binary);
    frame.assign(std::istreambuf_iterator<char>(in), {});
  } else {
    frame = vesk::handshake_frame(std::string(secret.size(), '0'));
  }
  if (!frame.empty()) {
    int done[2];
    if (::pipe2(done, O_CLOEXEC) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
      ::unsetenv(vesk::worker_secret_variable);
      intrude(argv[1], std::atoi(argv[2]), frame, done[1]);
      std::_Exit(0);
    }
    char byte = 0;
    pollfd wait{done[0], POLLIN, 0};
    if (::poll(&wait, 1, 30000) > 0) (void)!::read(done[0], &byte, 1);
  }
  const std::string worker = env("VESK_INTRUDER_WORKER");
  ::execv(worker.c_str(), argv);
  std::perror("channel_intruder: execv");
  return 1;
}

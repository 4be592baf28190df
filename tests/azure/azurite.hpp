#pragma once
// Azurite's blob service as a child process of the test: started on a free port, stopped with
// SIGTERM, restartable on the same port, and killed with the test process if that dies first.

#include <sys/types.h>

#include <string>

namespace vesk::testing {

class Azurite {
 public:
  // Starts at once; throws with Azurite's output when it does not come up.
  Azurite();
  ~Azurite();
  Azurite(const Azurite&) = delete;
  Azurite& operator=(const Azurite&) = delete;

  // Stops the process and waits for it (SIGKILL after a grace period).
  void stop();
  // Starts again on the port of the first start. Storage is in memory: everything is gone.
  void restart();
  // Freezes and thaws the process, so that requests hang without failing.
  void pause();
  void resume();

  int port() const { return _port; }
  bool running() const { return _pid > 0; }
  std::string blob_endpoint() const;
  // The account-key form with an explicit BlobEndpoint for this instance.
  std::string connection_string() const;
  // The same with another (valid base64, wrong) account key.
  std::string connection_string_with_wrong_key() const;

 private:
  void start(int port);
  pid_t _pid = -1;
  int _port = 0;
  int _output_fd = -1;
};

}  // namespace vesk::testing

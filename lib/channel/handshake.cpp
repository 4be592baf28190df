#include "vesk/channel/handshake.hpp"

#include "vesk/channel/channel.hpp"
#include "vesk/pickle/pickle.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>
#include <cstdlib>

namespace vesk {

std::string make_worker_secret() {
  std::array<unsigned char, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    std::array<char, 256> reason{};
    ERR_error_string_n(ERR_get_error(), reason.data(), reason.size());
    throw ChannelError(std::string("cannot make a worker channel secret: ") + reason.data());
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (unsigned char b : bytes) {
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 0x0f]);
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return hex;
}

std::string take_worker_secret() {
  char* value = std::getenv(worker_secret_variable);
  if (value == nullptr) return {};
  std::string secret(value);
  // Wiped in place too, so that it is gone from /proc/<pid>/environ as well.
  OPENSSL_cleanse(value, secret.size());
  ::unsetenv(worker_secret_variable);
  return secret;
}

std::string handshake_frame(std::string_view secret) {
  std::string pickle = pickle::dumps(Value(std::string(secret)));
  const auto n = static_cast<std::uint32_t>(pickle.size());
  std::string frame{static_cast<char>(n >> 24), static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 8) & 0xff),
                    static_cast<char>(n & 0xff)};
  frame += pickle;
  return frame;
}

bool same_secret(std::string_view received, std::string_view expected) noexcept {
  // The length is no secret: every secret has the same one.
  return received.size() == expected.size() && CRYPTO_memcmp(received.data(), expected.data(), expected.size()) == 0;
}

}  // namespace vesk

#pragma once
// The worker channel's handshake: only the worker process that a consumer started may take that
// consumer's channel.
//
// The listener port is no secret (any local user can connect to 127.0.0.1, and a worker's
// command line is readable by all), so each listener makes a random secret of its own. The
// consumer hands it to its worker in the environment, which only the process's owner can read,
// never on the command line. The worker's first frame after connecting is that secret; the
// listener compares it in constant time before it sends or reads anything else, and refuses a
// connection whose first frame is anything else.

#include <string>
#include <string_view>

namespace vesk {

// The environment variable that carries a worker's secret from its consumer.
inline constexpr const char* worker_secret_variable = "VESK_WORKER_SECRET";

// What a listener sends, as a text value, to a connection it refuses before closing it, so that
// a misconfigured worker can say what went wrong.
inline constexpr std::string_view handshake_refused_text = "handshake refused";

// 32 random bytes from OpenSSL's generator, as 64 lowercase hex digits. ChannelError when the
// generator fails.
std::string make_worker_secret();

// The value of VESK_WORKER_SECRET, removed from this process's environment, so that neither a
// handler nor a process it starts sees it. Empty when the variable is not set.
std::string take_worker_secret();

// The handshake as it travels: one whole frame (length and pickle) holding the secret as text.
std::string handshake_frame(std::string_view secret);

// True when `received` is exactly `expected`; the time taken does not depend on where they
// differ, only on their length.
bool same_secret(std::string_view received, std::string_view expected) noexcept;

}  // namespace vesk

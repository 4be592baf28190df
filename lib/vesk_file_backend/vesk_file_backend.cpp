#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

namespace vesk {

std::string VeskFileBackend::normalise_prefix(std::string prefix) {
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  return prefix;
}

VeskFileBackend::VeskFileBackend(std::string prefix) : prefix(normalise_prefix(std::move(prefix))) {}
VeskFileBackend::~VeskFileBackend() = default;

// The base versions complete at once without effect, so that implementations may call them.
Awaitable<std::optional<std::string>> VeskFileBackend::get_file_contents_async(std::string) { co_return std::nullopt; }
Awaitable<void> VeskFileBackend::set_file_contents_async(std::string, std::string) { co_return; }

Awaitable<VeskFileBackend::VersionedContents> VeskFileBackend::get_versioned_file_contents_async(std::string file_path) {
  VersionedContents out;
  out.contents = co_await get_file_contents_async(std::move(file_path));
  co_return out;
}

Awaitable<VeskFileBackend::ConditionalWrite> VeskFileBackend::set_file_contents_if_async(std::string file_path,
                                                                                         std::string content,
                                                                                         std::optional<std::string>) {
  co_await set_file_contents_async(std::move(file_path), std::move(content));
  co_return ConditionalWrite{true, ""};
}

}  // namespace vesk

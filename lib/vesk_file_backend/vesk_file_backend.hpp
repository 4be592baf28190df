#pragma once
// Whole files of bytes addressed by a relative path, placed under a prefix that is either empty
// or ends with "/". Implementations put the file `path` at `prefix + path`.

#include "loop/event_loop.hpp"

#include <optional>
#include <string>

namespace vesk {

class VeskFileBackend {
 public:
  explicit VeskFileBackend(std::string prefix = "");
  virtual ~VeskFileBackend();
  VeskFileBackend(const VeskFileBackend&) = delete;
  VeskFileBackend& operator=(const VeskFileBackend&) = delete;

  // The whole contents of the file, or none when no file exists at the path.
  virtual Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) = 0;
  // Creates the file or replaces its whole contents.
  virtual Awaitable<void> set_file_contents_async(std::string file_path, std::string content) = 0;

  // The given prefix with one "/" appended when it is non-empty and lacks one.
  static std::string normalise_prefix(std::string prefix);

  const std::string prefix;
};

}  // namespace vesk

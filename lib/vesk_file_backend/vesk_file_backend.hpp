#pragma once
// Whole files of bytes addressed by a relative path, placed under a prefix that is either empty
// or ends with "/". Implementations put the file `path` at `prefix + path`.

#include "vesk/loop/event_loop.hpp"

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

  // A file's contents with the tag of that version of it; none and an empty tag when there is
  // no file. A backend without conditional writes gives every version an empty tag.
  struct VersionedContents {
    std::optional<std::string> contents;
    std::string tag;
  };
  // What a conditional write did: stored, with the tag of the new version, or refused because
  // the file is no longer the version expected.
  struct ConditionalWrite {
    bool stored = false;
    std::string tag;
  };
  virtual Awaitable<VersionedContents> get_versioned_file_contents_async(std::string file_path);
  // Writes only while the file is still the version `expected_tag` names, or, when that is none,
  // while there is no file; the check and the write are one step. The base version checks
  // nothing: it writes as set_file_contents_async does and reports the write as stored.
  virtual Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                                 std::optional<std::string> expected_tag);
  // Whether set_file_contents_if_async really checks.
  virtual bool has_conditional_writes() const noexcept { return false; }

  // The given prefix with one "/" appended when it is non-empty and lacks one.
  static std::string normalise_prefix(std::string prefix);

  const std::string prefix;
};

}  // namespace vesk

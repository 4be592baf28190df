#pragma once
// A file backend over a local directory: the file `path` lives at root/prefix/path. Writes replace
// a file atomically, so a crash leaves either the old or the new contents, never a mix.
//
// Files are written with mode 0600 and directories created with mode 0700, whatever the umask:
// states are private to the user the engine runs as. A write goes through one temporary file
// beside its target (".<name>.vesk-tmp-write"); one that a crash left behind is taken over by the
// next write of the same file. Writers of one file, in one process or several, take turns.
//
// A conditional write compares the file's version (its inode, size and modification time) with
// the one expected while it holds the lock that every writer of the file on this machine takes,
// and renames only when they match: no other write can land between the check and the rename.

#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

class VeskLocalFileBackend : public VeskFileBackend {
 public:
  // The root directory need not exist yet; it is created by the first write. A prefix that
  // would leave the root (absolute, or with a ".." segment) is a ValueError.
  explicit VeskLocalFileBackend(std::filesystem::path root_directory, std::string prefix = "");

  // None when no file exists at the path. A path that would leave the root is a ValueError.
  Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) override;
  Awaitable<void> set_file_contents_async(std::string file_path, std::string content) override;
  Awaitable<VersionedContents> get_versioned_file_contents_async(std::string file_path) override;
  Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                         std::optional<std::string> expected_tag) override;
  bool has_conditional_writes() const noexcept override { return true; }

  // The paths, relative to the root and sorted, of the files under `directory` (itself relative to
  // the root: the prefix is neither added nor removed, as for a blob container's listing). An
  // empty directory lists every file; a missing one lists nothing.
  Awaitable<std::vector<std::string>> list_files_async(std::string directory = "");

  const std::filesystem::path root_directory;

 private:
  std::filesystem::path _resolve(const std::string& relative, const char* what) const;
};

}  // namespace vesk

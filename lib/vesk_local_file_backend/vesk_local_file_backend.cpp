#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include "vesk/loop/errors.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/values/large_block.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

// Marks our temporary files, so that listings leave them out.
constexpr std::string_view temp_marker = ".vesk-tmp-";

// Owns one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : _fd(fd) {}
  ~UniqueFd() {
    if (_fd >= 0) ::close(_fd);
  }
  UniqueFd(UniqueFd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const noexcept { return _fd; }
  // Closes now, reporting the error that a deferred close would lose.
  int close() noexcept {
    int rc = ::close(_fd);
    _fd = -1;
    return rc;
  }

 private:
  int _fd;
};

[[noreturn]] void throw_errno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A relative path that stays inside the root: not absolute, no ".." segment, no NUL.
void check_relative(const std::string& path, const char* what) {
  auto refuse = [&](const char* why) { throw ValueError(std::string(what) + " '" + path + "' " + why); };
  if (!path.empty() && path.front() == '/') refuse("is absolute; paths must stay under the backend's root directory");
  if (path.find('\0') != std::string::npos) refuse("contains a NUL character");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
      refuse("has a '..' segment; paths must stay under the backend's root directory");
    }
    start = end + 1;
  }
}

// A version of a file: every write renames a new inode into place, and the modification time and
// size tell apart an inode number that the file system hands out again.
std::string version_tag(const struct stat& st) {
  return std::to_string(st.st_ino) + "-" + std::to_string(st.st_size) + "-" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

// The tag of the file now at `path`; none when there is no file.
std::optional<std::string> current_tag(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw_errno(errno, "cannot stat '" + path.string() + "'");
  }
  return version_tag(st);
}

std::optional<std::string> read_whole(const std::filesystem::path& path, std::string* tag = nullptr) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw_errno(errno, "cannot open '" + path.string() + "' for reading");
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno(errno, "cannot stat '" + path.string() + "'");
  if (tag != nullptr) *tag = version_tag(st);
  if (S_ISDIR(st.st_mode)) throw_errno(EISDIR, "cannot read '" + path.string() + "'");
  std::string out;
  // One byte beyond the size, so that the read which finds the end needs no more room: growing
  // a large buffer only to learn that the file ends would copy it.
  const std::size_t size = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 0;
  out.reserve(size);
  // A large state file is read into huge pages: far fewer page faults.
  detail::advise_huge_pages(out.data(), out.capacity());
  out.resize(size);
  std::size_t have = 0;
  while (true) {
    if (have == out.size()) out.resize(out.size() + std::max<std::size_t>(4096, out.size() / 2));
    ssize_t n = ::read(fd.get(), out.data() + have, out.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno, "cannot read '" + path.string() + "'");
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  out.resize(have);
  return out;
}

void fsync_directory(const std::filesystem::path& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno(errno, "cannot open directory '" + dir.string() + "'");
  if (::fsync(fd.get()) != 0) throw_errno(errno, "cannot sync directory '" + dir.string() + "'");
}

// Creates the missing directories of `dir` (mode 0700) and syncs the parent of each new one, so
// that the new directory's own entry survives a crash as well as the files written into it.
void create_directories_synced(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = dir; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) throw_errno(ENOTDIR, "cannot create directory '" + dir.string() + "'");
      break;
    }
    if (errno != ENOENT) throw_errno(errno, "cannot create directory '" + dir.string() + "'");
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      throw_errno(errno, "cannot create directory '" + it->string() + "'");
    }
    fsync_directory(it->has_parent_path() ? it->parent_path() : std::filesystem::path("."));
  }
}

// Every file has one temporary file of a fixed name beside it: one that a crash left behind is
// taken over by the next write of the same file, so leftovers never pile up.
std::filesystem::path temporary_for(const std::filesystem::path& path) {
  return path.parent_path() / ("." + path.filename().string() + std::string(temp_marker) + "write");
}

// Opens and locks the temporary file. Writers of the same file, in this process or another,
// take turns on the lock, which ends with its holder, so a crashed writer never blocks anyone.
UniqueFd open_temporary(const std::filesystem::path& temp) {
  for (;;) {
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw_errno(errno, "cannot create the temporary file '" + temp.string() + "'");
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) throw_errno(errno, "cannot lock '" + temp.string() + "'");
    }
    // The writer before may have renamed this very file into place while we waited: then it is
    // that writer's result, and a fresh temporary file is needed.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.get(), &held) != 0) throw_errno(errno, "cannot stat '" + temp.string() + "'");
    if (::lstat(temp.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return fd;
  }
}

// What a write expects to replace: anything (no condition), no file, or the version with a tag.
struct Expected {
  bool checked = false;
  std::optional<std::string> tag;
};

// The temporary file is written and synced, then renamed over the target, then the directory
// synced so that the rename itself survives a crash. State files are private to their owner:
// mode 0600, whatever the umask. With a condition, the target is checked under the temporary
// file's lock, which every writer of the target holds until its rename: false, and nothing
// written, when the target is not the version expected. The new version's tag goes to `tag`.
bool replace_whole(const std::filesystem::path& path, const std::string& content, const Expected& expected = {},
                   std::string* tag = nullptr) {
  std::filesystem::path dir = path.parent_path();
  create_directories_synced(dir);
  const std::filesystem::path temp_path = temporary_for(path);
  const std::string temp = temp_path.string();
  UniqueFd fd = open_temporary(temp_path);
  if (expected.checked && current_tag(path) != expected.tag) {
    // Removed while locked, like a renamed one: a writer waiting on it takes a fresh one.
    ::unlink(temp.c_str());
    return false;
  }
  try {
    if (::ftruncate(fd.get(), 0) != 0) throw_errno(errno, "cannot truncate '" + temp + "'");
    if (::fchmod(fd.get(), 0600) != 0) throw_errno(errno, "cannot set the mode of '" + temp + "'");
    std::size_t done = 0;
    while (done < content.size()) {
      ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_errno(errno, "cannot write '" + temp + "'");
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) throw_errno(errno, "cannot sync '" + temp + "'");
    // Renamed while the lock is held, so that the next writer sees a new temporary file.
    if (tag != nullptr) {
      struct stat written {};
      if (::fstat(fd.get(), &written) != 0) throw_errno(errno, "cannot stat '" + temp + "'");
      *tag = version_tag(written);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) throw_errno(errno, "cannot replace '" + path.string() + "'");
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (fd.close() != 0) throw_errno(errno, "cannot close '" + path.string() + "'");
  fsync_directory(dir);
  return true;
}

std::vector<std::string> list_under(const std::filesystem::path& root, const std::string& directory) {
  std::vector<std::string> out;
  std::filesystem::path start = directory.empty() ? root : root / directory;
  std::error_code ec;
  if (!std::filesystem::is_directory(start, ec)) return out;
  std::filesystem::recursive_directory_iterator it(start, ec), end;
  if (ec) throw std::system_error(ec, "cannot list '" + start.string() + "'");
  for (; it != end; it.increment(ec)) {
    if (ec) throw std::system_error(ec, "cannot list '" + start.string() + "'");
    if (!it->is_regular_file(ec)) continue;
    std::string name = it->path().filename().string();
    if (name.size() > 1 && name.front() == '.' && name.find(temp_marker) != std::string::npos) continue;
    out.push_back(it->path().lexically_relative(root).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

VeskLocalFileBackend::VeskLocalFileBackend(std::filesystem::path root_directory, std::string prefix)
    : VeskFileBackend(std::move(prefix)), root_directory(std::move(root_directory)) {
  if (this->root_directory.empty()) throw ValueError("VeskLocalFileBackend needs a root directory");
  check_relative(this->prefix, "prefix");
}

std::filesystem::path VeskLocalFileBackend::_resolve(const std::string& relative, const char* what) const {
  check_relative(relative, what);
  return root_directory / relative;
}

Awaitable<std::optional<std::string>> VeskLocalFileBackend::get_file_contents_async(std::string file_path) {
  if (file_path.empty()) throw ValueError("file path is empty");
  check_relative(file_path, "file path");
  std::filesystem::path path = _resolve(prefix + file_path, "file path");
  // Callables for run_blocking are named, never temporaries inside co_await (see run_blocking).
  auto job = [path = std::move(path)]() { return read_whole(path); };
  co_return co_await run_blocking(std::move(job));
}

Awaitable<void> VeskLocalFileBackend::set_file_contents_async(std::string file_path, std::string content) {
  if (file_path.empty() || file_path.back() == '/') throw ValueError("file path '" + file_path + "' names no file");
  check_relative(file_path, "file path");
  std::filesystem::path path = _resolve(prefix + file_path, "file path");
  auto data = std::make_shared<const std::string>(std::move(content));
  auto job = [path = std::move(path), data]() { replace_whole(path, *data); };
  co_await run_blocking(std::move(job));
}

Awaitable<VeskFileBackend::VersionedContents> VeskLocalFileBackend::get_versioned_file_contents_async(
    std::string file_path) {
  if (file_path.empty()) throw ValueError("file path is empty");
  check_relative(file_path, "file path");
  std::filesystem::path path = _resolve(prefix + file_path, "file path");
  auto job = [path = std::move(path)]() {
    VersionedContents out;
    out.contents = read_whole(path, &out.tag);
    return out;
  };
  co_return co_await run_blocking(std::move(job));
}

Awaitable<VeskFileBackend::ConditionalWrite> VeskLocalFileBackend::set_file_contents_if_async(
    std::string file_path, std::string content, std::optional<std::string> expected_tag) {
  if (file_path.empty() || file_path.back() == '/') throw ValueError("file path '" + file_path + "' names no file");
  check_relative(file_path, "file path");
  std::filesystem::path path = _resolve(prefix + file_path, "file path");
  auto data = std::make_shared<const std::string>(std::move(content));
  auto job = [path = std::move(path), data, expected = Expected{true, std::move(expected_tag)}]() {
    ConditionalWrite out;
    out.stored = replace_whole(path, *data, expected, &out.tag);
    return out;
  };
  co_return co_await run_blocking(std::move(job));
}

Awaitable<std::vector<std::string>> VeskLocalFileBackend::list_files_async(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  check_relative(directory, "directory");
  std::filesystem::path root = root_directory;
  auto job = [root = std::move(root), directory = std::move(directory)]() { return list_under(root, directory); };
  co_return co_await run_blocking(std::move(job));
}

}  // namespace vesk

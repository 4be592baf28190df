#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include "loop/errors.hpp"
#include "loop/task.hpp"
#include "values/large_block.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

// Marks our temporary files, so that listings leave them out.
constexpr std::string_view kTempMarker = ".vesk-tmp-";

// Owns one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : _fd(fd) {}
  ~UniqueFd() {
    if (_fd >= 0) ::close(_fd);
  }
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
  auto refuse = [&](const char* why) {
    throw ValueError(std::string(what) + " '" + path + "' " + why);
  };
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

std::optional<std::string> read_whole(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw_errno(errno, "cannot open '" + path.string() + "' for reading");
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno(errno, "cannot stat '" + path.string() + "'");
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

// Temporary file in the same directory, written and synced, then renamed over the target, then
// the directory synced so that the rename itself survives a crash.
void replace_whole(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::path dir = path.parent_path();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw std::system_error(ec, "cannot create directory '" + dir.string() + "'");
  std::string temp = (dir / ("." + path.filename().string() + std::string(kTempMarker) + "XXXXXX")).string();
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) throw_errno(errno, "cannot create a temporary file next to '" + path.string() + "'");
  try {
    if (::fchmod(fd.get(), 0644) != 0) throw_errno(errno, "cannot set the mode of '" + temp + "'");
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
    if (fd.close() != 0) throw_errno(errno, "cannot close '" + temp + "'");
    if (::rename(temp.c_str(), path.c_str()) != 0) throw_errno(errno, "cannot replace '" + path.string() + "'");
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  fsync_directory(dir);
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
    if (name.size() > 1 && name.front() == '.' && name.find(kTempMarker) != std::string::npos) continue;
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

Awaitable<std::vector<std::string>> VeskLocalFileBackend::list_files_async(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  check_relative(directory, "directory");
  std::filesystem::path root = root_directory;
  auto job = [root = std::move(root), directory = std::move(directory)]() { return list_under(root, directory); };
  co_return co_await run_blocking(std::move(job));
}

}  // namespace vesk

#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include "vesk/loop/task.hpp"

#include "python_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

using vesk::Awaitable;
using vesk::EventLoop;
using vesk::VeskLocalFileBackend;

namespace {

struct LocalBackendTest : ::testing::Test {
  vesk::testing::TempDir dir;
  EventLoop loop;

  template <class T>
  T run(Awaitable<T> body) {
    return loop.run_until_complete(std::move(body));
  }
  std::vector<std::string> dir_entries(const std::string& sub) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.path + "/" + sub))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(LocalBackendTest, MissingFileReadsAsNone) {
  VeskLocalFileBackend backend(dir.path + "/not-yet");
  EXPECT_FALSE(run(backend.get_file_contents_async("p-1.state.pkl")).has_value());
  EXPECT_FALSE(run(backend.get_file_contents_async("deeper/p-1.state.pkl")).has_value());
}

TEST_F(LocalBackendTest, WritesReplaceWholeFilesUnderThePrefixAndLeaveNoTemporaries) {
  VeskLocalFileBackend backend(dir.path, "states/a");
  EXPECT_EQ(backend.prefix, "states/a/");
  run(backend.set_file_contents_async("p-7.state.pkl", std::string("first contents, long\0", 21)));
  run(backend.set_file_contents_async("p-7.state.pkl", "second"));
  EXPECT_EQ(vesk::testing::read_file(dir.path + "/states/a/p-7.state.pkl"), "second");
  EXPECT_EQ(*run(backend.get_file_contents_async("p-7.state.pkl")), "second");
  EXPECT_EQ(dir_entries("states/a"), std::vector<std::string>{"p-7.state.pkl"});
  run(backend.set_file_contents_async("empty", ""));
  EXPECT_EQ(*run(backend.get_file_contents_async("empty")), "");
}

TEST_F(LocalBackendTest, PrefixWithoutSlashAndNoPrefix) {
  VeskLocalFileBackend plain(dir.path);
  run(plain.set_file_contents_async("x/y.bin", "1"));
  EXPECT_EQ(vesk::testing::read_file(dir.path + "/x/y.bin"), "1");
  VeskLocalFileBackend prefixed(dir.path, "x");
  EXPECT_EQ(*run(prefixed.get_file_contents_async("y.bin")), "1");
}

TEST_F(LocalBackendTest, PathsThatWouldLeaveTheRootAreRefusedByName) {
  VeskLocalFileBackend backend(dir.path + "/root");
  for (std::string bad : {"../escape", "a/../../escape", "/etc/passwd", "..", "a/.."}) {
    try {
      run(backend.set_file_contents_async(bad, "x"));
      ADD_FAILURE() << bad << " was accepted";
    } catch (const vesk::ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + bad + "'"), std::string::npos) << e.what();
    }
    EXPECT_THROW(run(backend.get_file_contents_async(bad)), vesk::ValueError) << bad;
  }
  EXPECT_THROW(run(backend.list_files_async("../")), vesk::ValueError);
  EXPECT_THROW(VeskLocalFileBackend(dir.path, "../up"), vesk::ValueError);
  EXPECT_THROW(VeskLocalFileBackend(dir.path, "/abs"), vesk::ValueError);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/escape"));
  // Dots inside names are fine.
  run(backend.set_file_contents_async("a..b/..c", "ok"));
  EXPECT_EQ(*run(backend.get_file_contents_async("a..b/..c")), "ok");
}

TEST_F(LocalBackendTest, ReadingADirectoryIsAnError) {
  VeskLocalFileBackend backend(dir.path);
  run(backend.set_file_contents_async("d/f", "x"));
  EXPECT_THROW(run(backend.get_file_contents_async("d")), std::system_error);
}

TEST_F(LocalBackendTest, ListingGivesRootRelativePathsWhateverThePrefix) {
  VeskLocalFileBackend backend(dir.path, "states");
  run(backend.set_file_contents_async("p-3.state.pkl", "3"));
  run(backend.set_file_contents_async("p-1.state.pkl", "1"));
  VeskLocalFileBackend other(dir.path, "other");
  run(other.set_file_contents_async("x", "x"));
  vesk::testing::write_file(dir.path + "/states/.p-9.state.pkl.vesk-tmp-abcdef", "half");
  using V = std::vector<std::string>;
  EXPECT_EQ(run(backend.list_files_async("states")), (V{"states/p-1.state.pkl", "states/p-3.state.pkl"}));
  EXPECT_EQ(run(backend.list_files_async("states/")), (V{"states/p-1.state.pkl", "states/p-3.state.pkl"}));
  EXPECT_EQ(run(backend.list_files_async()), (V{"other/x", "states/p-1.state.pkl", "states/p-3.state.pkl"}));
  EXPECT_EQ(run(backend.list_files_async("missing")), V{});
}

// Writes a large file in a child process and kills it once its temporary file holds data: a
// crash mid-write. Returns the names in the file's directory right after the kill.
std::vector<std::string> crash_while_writing(const std::string& root, const std::string& directory) {
  const pid_t child = ::fork();
  if (child == 0) {
    EventLoop loop;
    VeskLocalFileBackend backend(root);
    loop.run_until_complete(
        backend.set_file_contents_async(directory + "/p-0.state.pkl", std::string(256u << 20, 'x')));
    ::_exit(0);
  }
  auto leftovers = [&] {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(root + "/" + directory, ec)) {
      if (e.path().filename() != "p-0.state.pkl" && e.file_size(ec) > 0) out.push_back(e.path().filename().string());
    }
    return out;
  };
  for (int i = 0; i < 20000 && leftovers().empty(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(500));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return leftovers();
}

TEST_F(LocalBackendTest, FilesArePrivateAndACrashedWritesTemporaryFileIsReused) {
  const mode_t old_umask = ::umask(0);
  VeskLocalFileBackend backend(dir.path, "new/deeper");
  run(backend.set_file_contents_async("p-0.state.pkl", "state"));
  ::umask(old_umask);
  auto mode = [&](const std::string& path) { return std::filesystem::status(dir.path + "/" + path).permissions(); };
  using P = std::filesystem::perms;
  EXPECT_EQ(mode("new/deeper/p-0.state.pkl"), P::owner_read | P::owner_write);
  EXPECT_EQ(mode("new"), P::owner_all);
  EXPECT_EQ(mode("new/deeper"), P::owner_all);

  for (int crash = 0; crash < 3; ++crash) {
    ASSERT_EQ(crash_while_writing(dir.path, "new/deeper").size(), 1u) << "the write was not caught mid-way";
    run(backend.set_file_contents_async("p-0.state.pkl", "after crash " + std::to_string(crash)));
    EXPECT_EQ(dir_entries("new/deeper"), std::vector<std::string>{"p-0.state.pkl"});
  }
  EXPECT_EQ(*run(backend.get_file_contents_async("p-0.state.pkl")), "after crash 2");
}

TEST_F(LocalBackendTest, OverlappingWritesOfDifferentFiles) {
  VeskLocalFileBackend backend(dir.path);
  run([&]() -> Awaitable<void> {
    std::vector<vesk::Task<void>> tasks;
    for (int i = 0; i < 8; ++i) {
      tasks.push_back(vesk::Task<void>::create(
          backend.set_file_contents_async("p-" + std::to_string(i), std::string(100000, char('a' + i)))));
    }
    co_await vesk::gather(tasks);
  }());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(vesk::testing::read_file(dir.path + "/p-" + std::to_string(i)), std::string(100000, char('a' + i)));
  }
}

}  // namespace

namespace {

// Blocking calls must hand back what they captured intact, and free it exactly once (the
// backends pass paths and contents this way).
TEST_F(LocalBackendTest, ConditionalWritesLandOnlyOverTheVersionExpectedAndOneAtATime) {
  VeskLocalFileBackend backend(dir.path);
  EXPECT_FALSE(run(backend.get_versioned_file_contents_async("p-0.state.pkl")).contents);
  auto first = run(backend.set_file_contents_if_async("p-0.state.pkl", "one", std::nullopt));
  ASSERT_TRUE(first.stored);
  EXPECT_FALSE(run(backend.set_file_contents_if_async("p-0.state.pkl", "again", std::nullopt)).stored);
  auto second = run(backend.set_file_contents_if_async("p-0.state.pkl", "two", first.tag));
  ASSERT_TRUE(second.stored);
  EXPECT_FALSE(run(backend.set_file_contents_if_async("p-0.state.pkl", "stale", first.tag)).stored);
  auto read = run(backend.get_versioned_file_contents_async("p-0.state.pkl"));
  EXPECT_EQ(read.contents, "two");
  EXPECT_EQ(read.tag, second.tag);

  // Writers racing over the same version: exactly one of them lands.
  auto race = [&]() -> Awaitable<int> {
    std::vector<vesk::Task<VeskLocalFileBackend::ConditionalWrite>> writes;
    for (int i = 0; i < 8; ++i) {
      writes.push_back(vesk::Task<VeskLocalFileBackend::ConditionalWrite>::create(
          backend.set_file_contents_if_async("p-0.state.pkl", "racer " + std::to_string(i), second.tag)));
    }
    int stored = 0;
    for (auto& w : writes) stored += (co_await w.wait()).stored ? 1 : 0;
    co_return stored;
  };
  EXPECT_EQ(run(race()), 1);
  // A plain write is a new version too.
  const auto before_plain = run(backend.get_versioned_file_contents_async("p-0.state.pkl")).tag;
  run(backend.set_file_contents_async("p-0.state.pkl", "plain"));
  EXPECT_FALSE(run(backend.set_file_contents_if_async("p-0.state.pkl", "late", before_plain)).stored);
  EXPECT_EQ(dir_entries(""), std::vector<std::string>{"p-0.state.pkl"});
}

TEST(BlockingCalls, CapturedValuesAreKeptAndFreedOnce) {
  EventLoop loop;
  auto body = [](std::string text) -> Awaitable<std::string> {
    auto job = [text = std::move(text)]() { return text + "!"; };
    co_return co_await vesk::run_blocking(std::move(job));
  };
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(loop.run_until_complete(body(std::string(100, 'a'))), std::string(100, 'a') + "!");
}

}  // namespace

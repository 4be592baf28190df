#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include "python_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

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
    for (const auto& e : std::filesystem::directory_iterator(dir.path + "/" + sub)) out.push_back(e.path().filename().string());
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

TEST_F(LocalBackendTest, OverlappingWritesOfDifferentFiles) {
  VeskLocalFileBackend backend(dir.path);
  run([&]() -> Awaitable<void> {
    std::vector<vesk::Task<void>> tasks;
    for (int i = 0; i < 8; ++i) {
      tasks.push_back(vesk::Task<void>::create(backend.set_file_contents_async("p-" + std::to_string(i), std::string(100000, char('a' + i)))));
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
TEST(BlockingCalls, CapturedValuesAreKeptAndFreedOnce) {
  EventLoop loop;
  auto body = [](std::string text) -> Awaitable<std::string> {
    auto job = [text = std::move(text)]() { return text + "!"; };
    co_return co_await vesk::run_blocking(std::move(job));
  };
  for (int i = 0; i < 20; ++i) EXPECT_EQ(loop.run_until_complete(body(std::string(100, 'a'))), std::string(100, 'a') + "!");
}

}  // namespace

#pragma once
// A fixture for tests that run the whole engine with real worker processes: state files in a
// fresh directory, a captured log, the handler modules and worker program of the build tree, and
// waits for stored offsets, log lines and the end of every child process.

#include "engine_test_support.hpp"
#include "log_capture.hpp"
#include "state_directory.hpp"
#include "stored_offsets.hpp"
#include "test_environment.hpp"
#include "vesk/stream_handler/stream_handler.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vesk::testing {

class EngineFixture : public ::testing::Test, public BuildTreeWorkers, public StateDirectory {
 public:
  EngineFixture() : StateDirectory("vesk-engine") {}

  EventLoop loop;
  LogCapture log;

  static std::shared_ptr<StreamHandlerBase> handler(const std::string& path) {
    return std::shared_ptr<StreamHandlerBase>(create_stream_handler(path));
  }

  // Waits until every partition's stored offset is `offset`.
  Awaitable<bool> stored_offsets_reach(int partitions, Offset offset, std::chrono::seconds limit) {
    return testing::stored_offsets_reach(*store, partitions, offset, limit);
  }

  Awaitable<bool> no_children_left() {
    co_return co_await eventually([] { return child_processes().empty(); }, std::chrono::seconds(5));
  }

  // Waits until at least `count` lines start with `prefix`.
  Awaitable<bool> logged(const std::string& prefix, std::size_t count = 1,
                         std::chrono::seconds limit = std::chrono::seconds(20)) {
    co_return co_await eventually([&] { return log.count_starting_with(prefix) >= count; }, limit);
  }

  // Waits until some line contains `text`.
  Awaitable<bool> logged_containing(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
    co_return co_await eventually(
        [&] {
          for (const auto& line : log.texts()) {
            if (line.find(text) != std::string::npos) return true;
          }
          return false;
        },
        limit);
  }

  // The text of the first line that starts with `prefix`, or "" when there is none.
  std::string first_line(const std::string& prefix) const {
    for (const auto& text : log.texts()) {
      if (text.rfind(prefix, 0) == 0) return text;
    }
    return {};
  }
};

}  // namespace vesk::testing

#pragma once
// Captures the lines a component logs, so tests can assert on exact texts and levels.

#include "vesk/loop/logging.hpp"

#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <string>
#include <vector>

namespace vesk::testing {

struct LogLine {
  spdlog::level::level_enum level;
  std::string text;
};

class LogCapture {
 public:
  explicit LogCapture(const std::string& name = "test");

  const Logger& logger() const { return _logger; }
  std::vector<LogLine> lines() const;
  std::vector<std::string> texts() const;
  // Texts of the lines at `level`.
  std::vector<std::string> texts(spdlog::level::level_enum level) const;
  // Number of lines whose text starts with `prefix`.
  std::size_t count_starting_with(const std::string& prefix) const;
  bool contains(const std::string& text) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> _sink;
  Logger _logger;
};

}  // namespace vesk::testing

#include "log_capture.hpp"

#include <algorithm>

namespace vesk::testing {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogLine> snapshot() {
    std::lock_guard<std::mutex> lock(this->mutex_);
    return _lines;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(this->mutex_);
    _lines.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    _lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<LogLine> _lines;
};

LogCapture::LogCapture(const std::string& name)
    : _sink(std::make_shared<Sink>()), _logger(std::make_shared<spdlog::logger>(name, _sink)) {
  _logger->set_level(spdlog::level::trace);
}

std::vector<LogLine> LogCapture::lines() const { return _sink->snapshot(); }

std::vector<std::string> LogCapture::texts() const {
  std::vector<std::string> out;
  for (auto& line : lines()) out.push_back(line.text);
  return out;
}

std::vector<std::string> LogCapture::texts(spdlog::level::level_enum level) const {
  std::vector<std::string> out;
  for (auto& line : lines()) {
    if (line.level == level) out.push_back(line.text);
  }
  return out;
}

std::size_t LogCapture::count_starting_with(const std::string& prefix) const {
  auto all = lines();
  return static_cast<std::size_t>(std::count_if(
      all.begin(), all.end(), [&](const LogLine& l) { return l.text.compare(0, prefix.size(), prefix) == 0; }));
}

bool LogCapture::contains(const std::string& text) const {
  auto all = texts();
  return std::find(all.begin(), all.end(), text) != all.end();
}

void LogCapture::clear() { _sink->clear(); }

}  // namespace vesk::testing

#pragma once
// A log sink for whole-engine benchmarks: it times the batches from the log lines the engine
// writes anyway, so a benchmark needs no hook inside the engine.

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::bench {

// Keeps the checkpoint lines and every warning or error, and notes when the first batch was
// distributed and the last one processed: the figures are read back from them.
class CheckpointSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return _lines;
  }
  void reset_batches() {
    std::lock_guard lock(mutex_);
    _first_distributing.reset();
    _last_processed.reset();
  }
  // Seconds from the first "Distributing" line to the last "Processed" line since reset.
  double batch_seconds() {
    std::lock_guard lock(mutex_);
    if (!_first_distributing || !_last_processed) return 0;
    return std::chrono::duration<double>(*_last_processed - *_first_distributing).count();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.rfind("Distributing ", 0) == 0) {
      if (!_first_distributing) _first_distributing = std::chrono::steady_clock::now();
    } else if (text.rfind("Processed ", 0) == 0) {
      _last_processed = std::chrono::steady_clock::now();
    } else if (text.rfind("[p", 0) == 0 || msg.level >= spdlog::level::warn) {
      _lines.emplace_back(text);
    }
  }
  void flush_() override {}

 private:
  std::vector<std::string> _lines;
  std::optional<std::chrono::steady_clock::time_point> _first_distributing;
  std::optional<std::chrono::steady_clock::time_point> _last_processed;
};

}  // namespace vesk::bench

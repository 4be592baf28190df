#pragma once
// A log sink for whole-engine benchmarks: it times the batches from the log lines the engine
// writes anyway, so a benchmark needs no hook inside the engine.

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
    _first_processed.reset();
    _last_processed.reset();
    _processed = _first_batch = 0;
  }
  // Seconds from the first "Distributing" line to the last "Processed" line since reset.
  double batch_seconds() {
    std::lock_guard lock(mutex_);
    if (!_first_distributing || !_last_processed) return 0;
    return std::chrono::duration<double>(*_last_processed - *_first_distributing).count();
  }
  // Messages and seconds after the first batch processed: the first one also waits for the
  // workers to take their stored states, which is start-up, not throughput.
  std::pair<long, double> after_first_batch() {
    std::lock_guard lock(mutex_);
    if (!_first_processed || !_last_processed) return {0, 0};
    return {_processed - _first_batch, std::chrono::duration<double>(*_last_processed - *_first_processed).count()};
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.rfind("Distributing ", 0) == 0) {
      if (!_first_distributing) _first_distributing = std::chrono::steady_clock::now();
    } else if (text.rfind("Processed ", 0) == 0) {
      _last_processed = std::chrono::steady_clock::now();
      const long count = std::strtol(text.data() + 10, nullptr, 10);
      if (!_first_processed) {
        _first_processed = _last_processed;
        _first_batch = count;
      }
      _processed += count;
    } else if (text.rfind("[p", 0) == 0 || msg.level >= spdlog::level::warn) {
      _lines.emplace_back(text);
    }
  }
  void flush_() override {}

 private:
  std::vector<std::string> _lines;
  std::optional<std::chrono::steady_clock::time_point> _first_distributing;
  std::optional<std::chrono::steady_clock::time_point> _first_processed;
  std::optional<std::chrono::steady_clock::time_point> _last_processed;
  long _processed = 0;
  long _first_batch = 0;
};

}  // namespace vesk::bench

#include "loop/logging.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace vesk {

Logger null_logger() {
  static const Logger logger =
      std::make_shared<spdlog::logger>("vesk.null", std::make_shared<spdlog::sinks::null_sink_mt>());
  return logger;
}

Logger named_logger(const std::string& name) {
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  try {
    spdlog::register_logger(logger);
  } catch (const spdlog::spdlog_ex&) {
    // Registered by another thread meanwhile: use that one.
    if (auto existing = spdlog::get(name)) return existing;
  }
  return logger;
}

}  // namespace vesk

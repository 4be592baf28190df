#include "vesk/loop/logging.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdlib>

namespace vesk {

Logger null_logger() {
  static const Logger logger = std::make_shared<spdlog::logger>("vesk.null",
                                                                std::make_shared<spdlog::sinks::null_sink_mt>());
  return logger;
}

std::optional<spdlog::level::level_enum> parse_log_level(std::string_view text) {
  using spdlog::level::level_enum;
  if (text == "trace") return level_enum::trace;
  if (text == "debug") return level_enum::debug;
  if (text == "info") return level_enum::info;
  if (text == "warning" || text == "warn") return level_enum::warn;
  if (text == "error") return level_enum::err;
  if (text == "off") return level_enum::off;
  return std::nullopt;
}

Logger named_logger(const std::string& name) {
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
  if (const char* wanted = std::getenv("VESK_LOG_LEVEL"); wanted != nullptr && *wanted != '\0') {
    if (auto level = parse_log_level(wanted)) {
      logger->set_level(*level);
    } else {
      logger->warn(std::string("VESK_LOG_LEVEL=") + wanted +
                   " is not a log level (trace, debug, info, warning, error, off); using info");
    }
  }
  try {
    spdlog::register_logger(logger);
  } catch (const spdlog::spdlog_ex&) {
    // Registered by another thread meanwhile: use that one.
    if (auto existing = spdlog::get(name)) return existing;
  }
  return logger;
}

}  // namespace vesk

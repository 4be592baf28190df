#pragma once
// The logger type every component takes: the host application's spdlog logger.

#include <spdlog/logger.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

using Logger = std::shared_ptr<spdlog::logger>;

// A logger that drops every line, for components built without one.
Logger null_logger();

// The logger registered under `name`, or a new one writing to standard error at the level
// VESK_LOG_LEVEL names (info when it is unset; a value that is not a level is reported once
// on the new logger and ignored).
Logger named_logger(const std::string& name);

// trace, debug, info, warning (or warn), error, off; none for anything else.
std::optional<spdlog::level::level_enum> parse_log_level(std::string_view text);

}  // namespace vesk

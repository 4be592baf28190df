#pragma once
// The logger type every component takes: the host application's spdlog logger.

#include <spdlog/logger.h>

#include <memory>
#include <string>

namespace vesk {

using Logger = std::shared_ptr<spdlog::logger>;

// A logger that drops every line, for components built without one.
Logger null_logger();

// The logger registered under `name`, or a new one writing to standard error.
Logger named_logger(const std::string& name);

}  // namespace vesk

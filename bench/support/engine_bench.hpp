#pragma once
// What every whole-engine benchmark sets up around its runs: the build's handlers and worker
// program, a scratch directory of its own, and a logger whose lines a CheckpointSink reads.

#include "checkpoint_sink.hpp"

#include <spdlog/logger.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vesk::bench {

struct EngineBench {
  // `name` ("bench_engine") prefixes a failure and names the scratch directory
  // ("vesk-bench-engine-<pid>"); a handler directory or worker program that the environment
  // already names wins over the build's.
  EngineBench(std::string name, const char* handler_dir, const char* worker_program)
      : name(std::move(name)), directory(std::filesystem::temp_directory_path() / scratch_name(this->name)) {
    ::setenv("VESK_HANDLER_PATH", handler_dir, 0);
    ::setenv("VESK_WORKER_PROGRAM", worker_program, 0);
    logger->set_level(spdlog::level::info);
  }
  EngineBench(const EngineBench&) = delete;
  EngineBench& operator=(const EngineBench&) = delete;
  ~EngineBench() { std::filesystem::remove_all(directory); }

  // Runs `body`; a failure is printed as "<name>: <what>" and gives exit status 1.
  int run(const std::function<void()>& body) {
    try {
      body();
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
      return 1;
    }
  }

  static std::string scratch_name(std::string name) {
    std::replace(name.begin(), name.end(), '_', '-');
    return "vesk-" + name + "-" + std::to_string(::getpid());
  }

  const std::string name;
  const std::filesystem::path directory;
  const std::shared_ptr<CheckpointSink> sink = std::make_shared<CheckpointSink>();
  const std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>("bench", sink);
};

}  // namespace vesk::bench

#pragma once
// A fresh directory of state files for one test.

#include "test_directory.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"
#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include <filesystem>
#include <memory>
#include <string>

namespace vesk::testing {

// A fresh directory of state files with a local backend and a store (logging nothing) on it,
// removed with it.
struct StateDirectory {
  explicit StateDirectory(const std::string& stem) : directory(fresh_test_directory(stem)) {}
  ~StateDirectory() { std::filesystem::remove_all(directory); }
  StateDirectory(const StateDirectory&) = delete;
  StateDirectory& operator=(const StateDirectory&) = delete;

  std::filesystem::path directory;
  std::shared_ptr<VeskLocalFileBackend> backend = std::make_shared<VeskLocalFileBackend>(directory.string());
  std::shared_ptr<VeskStateStore> store = std::make_shared<VeskStateStore>(backend, null_logger());
};

}  // namespace vesk::testing

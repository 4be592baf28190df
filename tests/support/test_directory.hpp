#pragma once
// A fresh directory for one test's files.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace vesk::testing {

// A new, empty directory for one test's files: <tmp>/<stem>-<pid>-<test name>.
inline std::filesystem::path fresh_test_directory(const std::string& stem) {
  const auto directory = std::filesystem::temp_directory_path() /
                         (stem + "-" + std::to_string(::getpid()) + "-" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  return directory;
}

}  // namespace vesk::testing

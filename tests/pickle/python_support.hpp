#pragma once
// Small helpers for tests that use python3 as the other end: a temporary directory, whole-file
// reads and writes, and running a script with its output captured.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace vesk::testing {

struct TempDir {
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `command` through the shell; returns its exit status and its stdout and stderr together.
inline std::pair<int, std::string> run_command(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed");
  std::string output;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

inline bool have_python() { return run_command("python3 -c 'import pickle'").first == 0; }

inline std::pair<int, std::string> run_python(const std::string& script, const std::vector<std::string>& args,
                                              const std::string& dir) {
  std::string file = dir + "/script.py";
  write_file(file, script);
  std::string command = "python3 " + shell_quote(file);
  for (const auto& a : args) command += " " + shell_quote(a);
  return run_command(command);
}

}  // namespace vesk::testing

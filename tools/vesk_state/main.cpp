// vesk-state: inspect and write partition-state files.
//   vesk-state dump FILE    print the state file as JSON
//   vesk-state write FILE   read that JSON on standard input and write the state file
#include "state_commands.hpp"

#include "loop/event_loop.hpp"
#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <filesystem>
#include <iostream>
#include <string>

namespace {

const char* kUsage =
    "usage: vesk-state dump FILE    print a partition-state file as JSON\n"
    "       vesk-state write FILE   read that JSON on standard input and write FILE (pickle protocol 4)\n"
    "JSON: none=null, bool, int and float=numbers (\"NaN\", \"Infinity\", \"-Infinity\"), text=string,\n"
    "list=array, dict with text keys=object, bytes={\"$bytes\": base64}, tuple={\"$tuple\": [...]},\n"
    "other dicts={\"$dict\": [[key, value], ...]}, text that reads like a special float={\"$text\": ...}.\n";

// One line, whatever the error text holds.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc != 3 || (std::string(argv[1]) != "dump" && std::string(argv[1]) != "write")) {
    std::cerr << kUsage;
    return 2;
  }
  std::string command = argv[1];
  std::filesystem::path file = argv[2];
  try {
    std::filesystem::path dir = file.parent_path();
    auto backend = std::make_shared<vesk::VeskLocalFileBackend>(dir.empty() ? std::filesystem::path(".") : dir);
    std::string name = file.filename().string();
    if (name.empty() || name == "." || name == "..") throw vesk::ValueError("'" + file.string() + "' names no file");
    vesk::EventLoop loop(1);
    if (command == "dump") {
      loop.run_until_complete(vesk::state_tool::dump_state(*backend, name, std::cout));
    } else {
      loop.run_until_complete(vesk::state_tool::write_state(*backend, name, std::cin));
    }
    std::cout.flush();
  } catch (const std::exception& e) {
    std::cerr << "vesk-state: " << file.string() << ": " << one_line(e.what()) << '\n';
    return 1;
  }
  return 0;
}

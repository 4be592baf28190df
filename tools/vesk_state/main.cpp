// vesk-state: inspect and write partition-state files.
//   vesk-state dump FILE    print the state file as JSON
//   vesk-state write FILE   read that JSON on standard input and write the state file
//   vesk-state list                      the state files in blob storage
//   vesk-state dump|write --partition N  that partition's state in blob storage
#include "state_commands.hpp"

#include "blob_commands.hpp"

#include "loop/event_loop.hpp"
#include "vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

const char* kUsage =
    "usage: vesk-state dump FILE    print a partition-state file as JSON\n"
    "       vesk-state write FILE   read that JSON on standard input and write FILE (pickle protocol 4)\n"
    "       vesk-state list                       list the state files in blob storage\n"
    "       vesk-state dump --partition N         print partition N's stored state as JSON\n"
    "       vesk-state write --partition N        read that JSON on standard input and store it for partition N\n"
    "The last three use blob storage: AZURE_STORAGE_CONNECTION_STRING, AZURE_STORAGE_CONTAINER_NAME and\n"
    "AZURE_STORAGE_PREFIX (may be empty) name the container and the prefix of the state files.\n"
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

// list, and dump or write with --partition: partitions in blob storage, through the state store.
int run_blob_command(int argc, char** argv) {
  const std::string command = argv[1];
  vesk::PartitionId partition = -1;
  if (command != "list") {
    const std::string_view text = argc == 4 ? argv[3] : "";
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), partition);
    if (argc != 4 || text.empty() || error != std::errc() || end != text.data() + text.size() || partition < 0) {
      std::cerr << "vesk-state: --partition needs a partition number (0 or more)\n" << kUsage;
      return 2;
    }
  }
  try {
    auto backend = vesk::state_tool::blob_backend_from_env();
    vesk::EventLoop loop(1);
    if (command == "list") {
      loop.run_until_complete(vesk::state_tool::list_states(*backend, std::cout));
    } else {
      vesk::VeskStateStore store(backend, vesk::null_logger());
      if (command == "dump") {
        loop.run_until_complete(vesk::state_tool::dump_partition(store, partition, std::cout));
      } else {
        loop.run_until_complete(vesk::state_tool::write_partition(store, partition, std::cin));
      }
    }
    std::cout.flush();
  } catch (const std::exception& e) {
    std::cerr << "vesk-state: " << command << (partition >= 0 ? " partition " + std::to_string(partition) : "")
              << ": " << one_line(e.what()) << '\n';
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 2 && std::string(argv[1]) == "list") ||
      (argc >= 3 && (std::string(argv[1]) == "dump" || std::string(argv[1]) == "write") &&
       std::string(argv[2]) == "--partition")) {
    return run_blob_command(argc, argv);
  }
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

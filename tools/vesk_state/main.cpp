// vesk-state: inspect and write partition-state files, in a local state directory or in blob
// storage. `vesk-state --help` and `vesk-state COMMAND --help` describe every command.
#include "state_commands.hpp"

#include "cli_support.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/vesk_local_file_backend/vesk_local_file_backend.hpp"

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr const char* storage_help =
    "Storage: --state-dir DIR reads and writes the state files of a local directory (as vesk-run --state-dir\n"
    "writes them). Without it, blob storage: AZURE_STORAGE_CONNECTION_STRING, AZURE_STORAGE_CONTAINER_NAME and\n"
    "AZURE_STORAGE_PREFIX (may be empty) name the container and the prefix of the state files.";

constexpr const char* json_help =
    "JSON: none=null, bool, int and float=numbers (\"NaN\", \"Infinity\", \"-Infinity\"), text=string,\n"
    "list=array, dict with text keys=object, bytes={\"$bytes\": base64}, tuple={\"$tuple\": [...]},\n"
    "other dicts={\"$dict\": [[key, value], ...]}, text that reads like a special float={\"$text\": ...}.\n"
    "JSON nested deeper than 10000 levels is refused.";

// One line, whatever the error text holds.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

struct Call {
  std::optional<std::string> file;
  std::optional<int> partition;
  std::optional<std::string> state_dir;
  std::string key;
};

CLI::Option* add_partition(CLI::App& sub, Call& call, const char* what) {
  return sub.add_option("--partition", call.partition, what)
      ->type_name("N")
      ->check(vesk::cli::needs("needs a partition number (0 or more)",
                               [](const std::string& t) { return vesk::cli::whole_number_in(t, 0, 2147483647); }));
}

void add_state_dir(CLI::App& sub, Call& call) {
  sub.add_option("--state-dir", call.state_dir, "The local directory of the state files, instead of blob storage")
      ->type_name("DIR")
      ->check(vesk::cli::needs("needs a directory", [](const std::string& t) { return !t.empty(); }));
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  CLI::App app(
      "Inspects and writes Vesk partition-state files (p-N.state.pkl: a pickle of {\"partition\", "
      "\"offset\", \"state\"}).",
      "vesk-state");
  app.footer(std::string(storage_help) + "\n" + json_help);
  Call call;

  CLI::App* dump = app.add_subcommand("dump", "Print a state file as JSON: FILE, or --partition N of the storage");
  dump->add_option("FILE", call.file, "A state file (a path on this machine)")->type_name("");
  add_partition(*dump, call, "Print the stored state of partition N");
  add_state_dir(*dump, call);
  dump->footer(storage_help);

  CLI::App* write = app.add_subcommand(
      "write", "Read a state's JSON on standard input and write FILE, or store it for --partition N");
  write->add_option("FILE", call.file, "The state file to write (pickle protocol 4)")->type_name("");
  add_partition(*write, call, "Store the JSON as the state of partition N (its \"partition\" must be N)");
  add_state_dir(*write, call);
  write->footer(std::string(storage_help) + "\n" + json_help);

  CLI::App* list = app.add_subcommand("list", "List the state files");
  add_state_dir(*list, call);
  list->footer(storage_help);

  CLI::App* get = app.add_subcommand("get", "Print one key's stored state as JSON");
  add_partition(*get, call, "The partition that holds the key (without it, every state file is searched)");
  get->add_option("KEY", call.key, "The key (its text)")->type_name("")->required();
  add_state_dir(*get, call);
  get->footer(storage_help);

  CLI::App* stats = app.add_subcommand("stats", "Print per state file its partition, offset, key count and bytes");
  add_state_dir(*stats, call);
  stats->footer(storage_help);

  vesk::cli::setup(app);
  if (auto status = vesk::cli::parse(app, argc, argv)) return *status;
  if (app.get_subcommands().empty())
    return vesk::cli::report_usage_error(app, "a command is required: dump, write, list, get or stats");
  CLI::App* command = app.get_subcommands().front();
  const std::string name = command->get_name();

  if (name == "dump" || name == "write") {
    if (call.file && call.partition)
      return vesk::cli::report_usage_error(app, name + ": give FILE or --partition N, not both");
    if (!call.file && !call.partition)
      return vesk::cli::report_usage_error(app, name + " needs a FILE or --partition N");
    if (call.file && call.state_dir) {
      return vesk::cli::report_usage_error(app,
                                           name + ": --state-dir goes with --partition N; FILE is a path of its own");
    }
  }

  const std::string subject = call.file        ? *call.file
                              : call.partition ? name + " partition " + std::to_string(*call.partition)
                                               : name;
  try {
    vesk::EventLoop loop(1);
    if (call.file) {
      std::filesystem::path file = *call.file;
      std::filesystem::path dir = file.parent_path();
      auto backend = std::make_shared<vesk::VeskLocalFileBackend>(dir.empty() ? std::filesystem::path(".") : dir);
      std::string file_name = file.filename().string();
      if (file_name.empty() || file_name == "." || file_name == "..")
        throw vesk::ValueError("'" + file.string() + "' names no file");
      if (name == "dump") {
        loop.run_until_complete(vesk::state_tool::dump_state(*backend, file_name, std::cout));
      } else {
        loop.run_until_complete(vesk::state_tool::write_state(*backend, file_name, std::cin));
      }
    } else {
      auto storage = vesk::state_tool::open_storage(call.state_dir, name != "write");
      vesk::VeskStateStore store(storage.backend, vesk::null_logger());
      if (name == "list") {
        for (const auto& file : loop.run_until_complete(vesk::state_tool::state_file_names(storage))) {
          if (storage.directory) {
            std::cout << (*storage.directory / file).string() << '\n';
          } else {
            std::cout << storage.backend->prefix << file << '\n';
          }
        }
      } else if (name == "stats") {
        loop.run_until_complete(vesk::state_tool::print_stats(storage, std::cout));
      } else if (name == "get") {
        if (call.partition) {
          loop.run_until_complete(vesk::state_tool::get_key(store, *call.partition, call.key, std::cout));
        } else {
          loop.run_until_complete(vesk::state_tool::find_key(storage, call.key, std::cout));
        }
      } else if (name == "dump") {
        loop.run_until_complete(vesk::state_tool::dump_partition(store, *call.partition, std::cout));
      } else {
        loop.run_until_complete(vesk::state_tool::write_partition(store, *call.partition, std::cin));
      }
    }
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write to standard output");
  } catch (const std::exception& e) {
    std::cerr << "vesk-state: " << subject << ": " << one_line(e.what()) << '\n';
    return 1;
  }
  return 0;
}

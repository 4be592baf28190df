// vesk-admin: prints the organisations or processors of an administration API, one JSON record
// per line. Any failure ends it with one line on standard error and a non-zero exit status.

#include "admin_rest_client/admin_rest_client.hpp"
#include "loop/event_loop.hpp"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: vesk-admin --base-url URL [--api-key KEY] [--timeout SECONDS] orgs|processors\n"
    "Prints the organisations or the processors of the administration API at URL as JSON,\n"
    "one record per line. The time limit of the request is 30 seconds unless given.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  vesk::CoreAPIConfig config;
  std::string command;
  bool help = false;
};

int parse_timeout(const std::string& text) {
  std::size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || value <= 0 || value > 86400 * 365) {
    throw UsageError("--timeout takes a positive whole number of seconds, got '" + text + "'");
  }
  return static_cast<int>(value);
}

Options parse(int argc, char** argv) {
  Options options;
  std::optional<std::string> base_url;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    auto take_value = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 >= argc) throw UsageError(name + " needs a value");
      return argv[++i];
    };
    if (name == "--base-url") {
      base_url = take_value();
    } else if (name == "--api-key") {
      options.config.api_key = take_value();
    } else if (name == "--timeout") {
      options.config.timeout = parse_timeout(take_value());
    } else if (arg.rfind("-", 0) == 0) {
      throw UsageError("unknown option '" + arg + "'");
    } else if (!options.command.empty()) {
      throw UsageError("one command only, got '" + options.command + "' and '" + arg + "'");
    } else if (arg == "orgs" || arg == "processors") {
      options.command = arg;
    } else {
      throw UsageError("unknown command '" + arg + "' (orgs or processors)");
    }
  }
  if (!base_url || base_url->empty()) throw UsageError("--base-url is required");
  if (options.command.empty()) throw UsageError("a command is required: orgs or processors");
  options.config.base_url = *base_url;
  return options;
}

// The lines to print, one JSON record each; fetched whole before anything is printed, so a
// failure prints no partial list.
vesk::Awaitable<std::vector<std::string>> fetch(vesk::AdminRestClient& client, std::string command) {
  std::vector<std::string> lines;
  if (command == "orgs") {
    for (const auto& org : co_await client.get_orgs()) lines.push_back(nlohmann::json(org).dump());
  } else {
    for (const auto& processor : co_await client.get_processors()) lines.push_back(nlohmann::json(processor).dump());
  }
  co_return lines;
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parse(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "vesk-admin: " << error.what() << " (see vesk-admin --help)\n";
    return 2;
  }
  if (options.help) {
    std::cout << usage;
    return 0;
  }
  try {
    vesk::EventLoop loop(1);
    vesk::AdminRestClient client(options.config);
    auto lines = loop.run_until_complete(client.with_session(
        [command = options.command](vesk::AdminRestClient& c) { return fetch(c, command); }));
    for (const auto& line : lines) std::cout << line << '\n';
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write to standard output");
  } catch (const vesk::http::TimeoutError& error) {
    std::cerr << "vesk-admin: timed out: " << one_line(error.what()) << '\n';
    return 1;
  } catch (const std::exception& error) {
    std::cerr << "vesk-admin: " << one_line(error.what()) << '\n';
    return 1;
  }
  return 0;
}

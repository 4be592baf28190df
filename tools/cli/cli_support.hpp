#pragma once
// What the command-line programs share: CLI11 set up alike, `--version`, and mistakes in a call
// reported as one line naming the flag and the value, with exit status 2.

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::cli {

// A mistake in how a program was called or configured: one line, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The one-line report of a usage mistake; returns the exit status, 2.
inline int report_usage_error(const CLI::App& app, const std::string& message) {
  std::cerr << app.get_name() << ": " << message << " (see " << app.get_name() << " --help)\n";
  return 2;
}

// `--version`, `--help` on the program and on each subcommand, and arguments that fit no option
// kept for parse() to name. Call after the subcommands are added.
inline void setup(CLI::App& app) {
  app.set_version_flag("--version", std::string(app.get_name()) + " " + VESK_VERSION, "Print the version and exit");
  app.allow_extras();
  for (CLI::App* sub : app.get_subcommands({})) {
    sub->allow_extras();
    sub->fallthrough();
  }
}

// A check for add_option(...)->check(...): `accept(text)` is true for a good value; a bad one
// is reported as "<flag> <needs>, got '<text>'".
template <class Accept>
CLI::Validator needs(std::string needs_text, Accept accept) {
  return CLI::Validator(
      [needs_text, accept](std::string& text) -> std::string {
        return accept(text) ? std::string() : needs_text + ", got '" + text + "'";
      },
      "");
}

inline bool whole_number_in(const std::string& text, long long low, long long high) {
  if (text.empty() || text.size() > 19) return false;
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size() && std::isdigit(static_cast<unsigned char>(text.back())) && value >= low && value <= high;
}

inline bool seconds_above_zero(const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && value > 0 && value <= 1e9;
}

// Parses the command line. Returns an exit status when the program is to end now: 0 after
// --help or --version (printed on standard output), 2 after a mistake (one line on standard
// error); none when it is to go on.
inline std::optional<int> parse(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ValidationError& e) {
    // "<flag>: <what it needs>" from the checks above becomes "<flag> <what it needs>".
    std::string message = e.what();
    if (auto colon = message.find(": "); colon != std::string::npos) message.replace(colon, 2, " ");
    return report_usage_error(app, message);
  } catch (const CLI::ArgumentMismatch& e) {
    static const std::regex missing(R"(^(\S+): .*missing.*)");
    std::smatch m;
    std::string message = e.what();
    if (std::regex_match(message, m, missing)) message = m[1].str() + " needs a value";
    return report_usage_error(app, message);
  } catch (const CLI::ParseError& e) {
    return report_usage_error(app, e.what());
  }
  std::vector<std::string> extras = app.remaining(true);
  if (!extras.empty()) {
    const std::string& first = extras.front();
    if (first.size() > 1 && first[0] == '-') return report_usage_error(app, "unknown option '" + first + "'");
    bool in_subcommand = !app.get_subcommands().empty();
    bool has_subcommands = !app.get_subcommands({}).empty();
    return report_usage_error(
        app,
        std::string(has_subcommands && !in_subcommand ? "unknown command '" : "unexpected argument '") + first + "'");
  }
  return std::nullopt;
}

}  // namespace vesk::cli

// vesk-admin: prints the organisations or processors of an administration API, one JSON record
// per line. Any failure ends it with one line on standard error and a non-zero exit status.

#include "cli_support.hpp"
#include "vesk/admin_rest_client/admin_rest_client.hpp"
#include "vesk/loop/event_loop.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vesk::cli::UsageError;

struct Call {
  std::string base_url;
  std::optional<std::string> api_key;
  std::optional<std::string> api_key_file;
  int timeout = 30;
  bool allow_insecure = false;
};

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The host of a URL (without user information, port or brackets), and whether it is plain http
// (also when no scheme is given: the client then speaks http).
struct UrlParts {
  bool plain_http = false;
  std::string host;
};

UrlParts url_parts(const std::string& url) {
  UrlParts parts;
  std::string_view rest = url;
  if (auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    parts.plain_http = lowercase(std::string(rest.substr(0, scheme))) == "http";
    rest.remove_prefix(scheme + 3);
  } else {
    parts.plain_http = true;
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    rest = rest.substr(1, rest.find(']') == std::string_view::npos ? std::string_view::npos : rest.find(']') - 1);
  } else {
    rest = rest.substr(0, rest.find(':'));
  }
  parts.host = lowercase(std::string(rest));
  return parts;
}

bool is_loopback(const std::string& host) {
  return host == "localhost" || host.ends_with(".localhost") || host == "::1" || host.rfind("127.", 0) == 0;
}

// The key, from (in this order) --api-key-file, --api-key or VESK_ADMIN_API_KEY.
std::optional<std::string> api_key(const Call& call) {
  if (call.api_key_file) {
    std::ifstream in(*call.api_key_file, std::ios::binary);
    if (!in) throw UsageError("--api-key-file cannot read '" + *call.api_key_file + "'");
    std::stringstream text;
    text << in.rdbuf();
    std::string key = text.str();
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back()))) key.pop_back();
    if (key.empty()) throw UsageError("--api-key-file '" + *call.api_key_file + "' holds no key");
    return key;
  }
  if (call.api_key) {
    std::cerr << "vesk-admin: warning: --api-key is visible to other users of this machine (in the process list); "
                 "use VESK_ADMIN_API_KEY or --api-key-file instead\n";
    return call.api_key;
  }
  const char* env = std::getenv("VESK_ADMIN_API_KEY");
  if (env != nullptr && *env != '\0') return std::string(env);
  return std::nullopt;
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
  CLI::App app(
      "Prints the organisations or the processors of the administration API at --base-url as JSON, one record per "
      "line.",
      "vesk-admin");
  app.footer(
      "The API key is sent as a bearer token. It is read from --api-key-file FILE, else from the environment\n"
      "variable VESK_ADMIN_API_KEY; --api-key KEY still works but shows the key to every user of the machine.\n"
      "A key is never sent over plain http to a host other than this machine unless --allow-insecure is given.\n"
      "Answers nested deeper than 10000 levels are refused.");
  Call call;
  app.add_option("--base-url", call.base_url, "The API's base URL; request paths are resolved against it")
      ->type_name("URL")
      ->required()
      ->check(vesk::cli::needs("needs a URL", [](const std::string& t) { return !t.empty(); }));
  app.add_option("--api-key-file", call.api_key_file, "A file holding the API key (instead of VESK_ADMIN_API_KEY)")
      ->type_name("FILE");
  app.add_option("--api-key", call.api_key,
                 "The API key itself (visible to other users; prefer VESK_ADMIN_API_KEY or --api-key-file)")
      ->type_name("KEY");
  app.add_option("--timeout", call.timeout, "Time limit of each request in seconds (default 30)")
      ->type_name("SECONDS")
      ->check(vesk::cli::needs("takes a positive whole number of seconds",
                               [](const std::string& t) { return vesk::cli::whole_number_in(t, 1, 86400LL * 365); }));
  app.add_flag("--allow-insecure", call.allow_insecure,
               "Send the API key over plain http to a host other than this machine");
  app.add_subcommand("orgs", "Print the organisations");
  app.add_subcommand("processors", "Print the processors");
  vesk::cli::setup(app);

  if (auto status = vesk::cli::parse(app, argc, argv)) return *status;
  if (app.get_subcommands().empty())
    return vesk::cli::report_usage_error(app, "a command is required: orgs or processors");
  if (app.get_subcommands().size() > 1) {
    return vesk::cli::report_usage_error(app, "one command only, got '" + app.get_subcommands()[0]->get_name() +
                                                  "' and '" + app.get_subcommands()[1]->get_name() + "'");
  }
  const std::string command = app.get_subcommands().front()->get_name();

  vesk::CoreAPIConfig config;
  try {
    if (call.api_key && call.api_key_file) throw UsageError("give --api-key-file or --api-key, not both");
    config.api_key = api_key(call);
    const UrlParts url = url_parts(call.base_url);
    if (config.api_key && !config.api_key->empty() && url.plain_http && !is_loopback(url.host) &&
        !call.allow_insecure) {
      throw UsageError("refusing to send the API key over plain http to " +
                       (url.host.empty() ? "the server" : url.host) + ": use https, or --allow-insecure");
    }
  } catch (const UsageError& error) {
    return vesk::cli::report_usage_error(app, error.what());
  }
  config.base_url = call.base_url;
  config.timeout = call.timeout;

  try {
    vesk::EventLoop loop(1);
    vesk::AdminRestClient client(config);
    auto lines = loop.run_until_complete(
        client.with_session([command](vesk::AdminRestClient& c) { return fetch(c, command); }));
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

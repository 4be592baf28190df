#pragma once
// A small asynchronous client for the administration API: reads the organisations and the
// processors over HTTP and JSON, through one HTTP session opened for the scope of the work.

#include "vesk/http/http_client.hpp"
#include "vesk/loop/event_loop.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesk {

// Where the administration API is and how to reach it.
struct CoreAPIConfig {
  CoreAPIConfig() = default;
  explicit CoreAPIConfig(std::string base_url, std::optional<std::string> api_key = std::nullopt, int timeout = 30)
      : base_url(std::move(base_url)), api_key(std::move(api_key)), timeout(timeout) {}

  std::string base_url;                // request paths are resolved against it
  std::optional<std::string> api_key;  // sent as a bearer token; none or empty sends none
  int timeout = 30;                    // seconds, total per request
  // The largest answer read; a larger one fails the call with http::BodyTooLargeError.
  std::size_t max_response_bytes = std::size_t{64} << 20;
  // The deepest nesting of arrays and objects accepted in an answer; deeper fails the call
  // with AdminResponseError before any of it is built.
  std::size_t max_json_depth = 10000;

  bool operator==(const CoreAPIConfig&) const = default;
};

// One organisation as the API lists it.
struct Org {
  Org(std::string id, std::string name) : _id(std::move(id)), name(std::move(name)) {}

  std::string _id;
  std::string name;

  bool operator==(const Org&) const = default;
};

// One processor as the API lists it; `options` is whatever JSON the API holds for it.
struct Processor {
  Processor(std::string id, std::string org_id, std::string title, std::string processor, nlohmann::json options,
            bool is_enabled, std::optional<std::string> depends_on)
      : _id(std::move(id)),
        orgId(std::move(org_id)),
        title(std::move(title)),
        processor(std::move(processor)),
        options(std::move(options)),
        isEnabled(is_enabled),
        dependsOn(std::move(depends_on)) {}

  std::string _id;
  std::string orgId;
  std::string title;
  std::string processor;
  nlohmann::json options;
  bool isEnabled;
  std::optional<std::string> dependsOn;

  bool operator==(const Processor&) const = default;
};

// The records in the API's own JSON form (a missing dependsOn as null).
void to_json(nlohmann::json& out, const Org& org);
void to_json(nlohmann::json& out, const Processor& processor);

// The API answered with a status of 400 or more.
class HttpStatusError : public http::HttpError {
 public:
  HttpStatusError(long status, const std::string& message) : http::HttpError(message), _status(status) {}
  long status() const noexcept { return _status; }

 private:
  long _status;
};

// The API's answer is not the JSON expected: not JSON, not an array of objects, or a field of
// the wrong type.
class AdminResponseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An element of the answer lacks a required key.
class MissingKeyError : public AdminResponseError {
 public:
  MissingKeyError(std::string key, const std::string& message) : AdminResponseError(message), _key(std::move(key)) {}
  const std::string& key() const noexcept { return _key; }

 private:
  std::string _key;
};

// Reads the administration API. Open the session, make calls (they may overlap), close it,
// also when the work failed; with_session() does all three around a piece of work.
class AdminRestClient {
 public:
  explicit AdminRestClient(CoreAPIConfig config);
  ~AdminRestClient();
  AdminRestClient(const AdminRestClient&) = delete;
  AdminRestClient& operator=(const AdminRestClient&) = delete;

  // Opens the HTTP session with the headers and time limit of `config` as they are now.
  Awaitable<AdminRestClient*> open_session();
  // Closes the session. `error` is the one ending the work, if any: it is the caller's to
  // rethrow, never handled here.
  Awaitable<void> close_session(std::exception_ptr error = nullptr);

  // The headers every request of a session carries, in order.
  http::Headers _get_headers() const;

  Awaitable<std::vector<Org>> get_orgs();
  Awaitable<std::vector<Processor>> get_processors();

  // Runs `work(client)` (returning an Awaitable) inside an open session and closes the session
  // afterwards, also when the work fails or is cancelled.
  template <class Work>
  auto with_session(Work work) -> decltype(work(std::declval<AdminRestClient&>()));

  const CoreAPIConfig config;

 private:
  Awaitable<std::string> _get_body(const char* path);
  void _close() noexcept;

  std::unique_ptr<http::Session> _session;
};

template <class Work>
auto AdminRestClient::with_session(Work work) -> decltype(work(std::declval<AdminRestClient&>())) {
  using Result = typename decltype(work(std::declval<AdminRestClient&>()))::value_type;
  co_await open_session();
  // Closed without awaiting: a cancelled task refuses further awaits, and closing never
  // suspends anyway.
  std::exception_ptr error;
  if constexpr (std::is_void_v<Result>) {
    try {
      co_await work(*this);
    } catch (...) {
      error = std::current_exception();
    }
    _close();
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(co_await work(*this));
    } catch (...) {
      error = std::current_exception();
    }
    _close();
    if (error) std::rethrow_exception(error);
    co_return std::move(*result);
  }
}

}  // namespace vesk

#include "vesk/admin_rest_client/admin_rest_client.hpp"

#include "vesk/loop/errors.hpp"

#include <chrono>

namespace vesk {
namespace {

using nlohmann::json;

constexpr const char* orgs_path = "/admin/system/orgs";
constexpr const char* processors_path = "/admin/system/processors";

// Reads the fields of one element of an answer, naming the element and key in every error.
class Element {
 public:
  Element(const json& value, std::size_t index, const char* path) : _value(value), _index(index), _path(path) {
    if (!value.is_object()) fail("is " + std::string(value.type_name()) + ", not an object");
  }

  const json* find(const char* key) const {
    auto it = _value.find(key);
    return it == _value.end() ? nullptr : &*it;
  }

  const json& require(const char* key) const {
    if (const json* value = find(key)) return *value;
    throw MissingKeyError(
        key, "element " + std::to_string(_index) + " of the answer to " + _path + " has no key \"" + key + "\"");
  }

  std::string text(const char* key) const { return text_of(require(key), key); }

  std::optional<std::string> optional_text(const char* key) const {
    const json* value = find(key);
    if (value == nullptr || value->is_null()) return std::nullopt;
    return text_of(*value, key);
  }

  bool boolean(const char* key) const {
    const json& value = require(key);
    if (!value.is_boolean()) wrong_type(key, "a boolean", value);
    return value.get<bool>();
  }

 private:
  std::string text_of(const json& value, const char* key) const {
    if (!value.is_string()) wrong_type(key, "a string", value);
    return value.get<std::string>();
  }

  [[noreturn]] void wrong_type(const char* key, const char* expected, const json& value) const {
    fail("has \"" + std::string(key) + "\" " + value.type_name() + ", not " + expected);
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw AdminResponseError("element " + std::to_string(_index) + " of the answer to " + _path + " " + what);
  }

  const json& _value;
  std::size_t _index;
  const char* _path;
};

json parse_array(const std::string& body, const char* path, std::size_t max_depth) {
  json parsed;
  // Deeper nesting is refused while parsing: building, copying and freeing a value recurse once
  // per level, and a hostile answer could otherwise exhaust the stack.
  auto limit_depth = [&](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        static_cast<std::size_t>(depth) >= max_depth) {
      throw AdminResponseError(std::string("the answer to ") + path + " nests arrays and objects deeper than " +
                               std::to_string(max_depth) + " levels");
    }
    return true;
  };
  try {
    parsed = json::parse(body, limit_depth);
  } catch (const json::parse_error& error) {
    throw AdminResponseError(std::string("the answer to ") + path + " is not JSON: " + error.what());
  }
  if (!parsed.is_array()) {
    throw AdminResponseError(std::string("the answer to ") + path + " is " + parsed.type_name() + ", not an array");
  }
  return parsed;
}

// The elements of an array answer to `path`, each made by `make` from the element's fields.
template <class T, class Make>
std::vector<T> read_elements(const std::string& body, const char* path, std::size_t max_depth, Make make) {
  json answer = parse_array(body, path, max_depth);
  std::vector<T> items;
  items.reserve(answer.size());
  for (std::size_t i = 0; i < answer.size(); ++i) items.push_back(make(Element(answer[i], i, path)));
  return items;
}

std::string excerpt(const std::string& body) {
  std::string text = body.substr(0, 200);
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return body.size() > text.size() ? text + "..." : text;
}

}  // namespace

void to_json(nlohmann::json& out, const Org& org) { out = nlohmann::json{{"_id", org._id}, {"name", org.name}}; }

void to_json(nlohmann::json& out, const Processor& processor) {
  out = nlohmann::json{{"_id", processor._id},
                       {"orgId", processor.orgId},
                       {"title", processor.title},
                       {"processor", processor.processor},
                       {"options", processor.options},
                       {"isEnabled", processor.isEnabled},
                       {"dependsOn", processor.dependsOn ? nlohmann::json(*processor.dependsOn) : nlohmann::json()}};
}

AdminRestClient::AdminRestClient(CoreAPIConfig config) : config(std::move(config)) {}

AdminRestClient::~AdminRestClient() = default;

http::Headers AdminRestClient::_get_headers() const {
  http::Headers headers{{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  if (config.api_key && !config.api_key->empty()) headers.emplace_back("Authorization", "Bearer " + *config.api_key);
  return headers;
}

Awaitable<AdminRestClient*> AdminRestClient::open_session() {
  if (_session && !_session->closed()) throw std::logic_error("the administration API session is already open");
  if (config.timeout <= 0) {
    throw ValueError("the administration API time limit must be a positive number of seconds, got " +
                     std::to_string(config.timeout));
  }
  http::Limits limits;
  limits.timeout = std::chrono::seconds(config.timeout);
  limits.max_body_bytes = config.max_response_bytes;
  _session = std::make_unique<http::Session>(_get_headers(), limits);
  co_return this;
}

Awaitable<void> AdminRestClient::close_session(std::exception_ptr) {
  _close();
  co_return;
}

void AdminRestClient::_close() noexcept {
  if (_session) _session->close();
}

Awaitable<std::string> AdminRestClient::_get_body(const char* path) {
  if (!_session) throw std::logic_error("no administration API session: call open_session first");
  std::string url = http::resolve_url(config.base_url, path);
  http::Response response = co_await _session->get(url);
  if (response.status >= 400) {
    std::string message = "GET " + http::printable_url(url) + " answered with status " +
                          std::to_string(response.status);
    if (!response.body.empty()) message += ": " + excerpt(response.body);
    throw HttpStatusError(response.status, message);
  }
  co_return std::move(response.body);
}

Awaitable<std::vector<Org>> AdminRestClient::get_orgs() {
  co_return read_elements<Org>(co_await _get_body(orgs_path), orgs_path, config.max_json_depth,
                               [](const Element& element) { return Org(element.text("_id"), element.text("name")); });
}

Awaitable<std::vector<Processor>> AdminRestClient::get_processors() {
  co_return read_elements<Processor>(
      co_await _get_body(processors_path), processors_path, config.max_json_depth, [](const Element& element) {
        return Processor(element.text("_id"), element.text("orgId"), element.text("title"), element.text("processor"),
                         element.require("options"), element.boolean("isEnabled"), element.optional_text("dependsOn"));
      });
}

}  // namespace vesk

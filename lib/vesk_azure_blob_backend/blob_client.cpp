#include "vesk_azure_blob_backend/blob_client.hpp"

#include "loop/errors.hpp"

#include <utility>

namespace vesk::blob {
namespace {

std::string describe(long status, const std::string& code, const std::string& message) {
  std::string text = "HTTP " + std::to_string(status);
  if (!code.empty()) text += " " + code;
  if (!message.empty()) {
    // The service's messages carry RequestId and Time on lines of their own; keep one line.
    std::string flat;
    for (char c : message) {
      if (c == '\r') continue;
      flat.push_back(c == '\n' ? ' ' : c);
    }
    text += ": " + flat;
  }
  return text;
}

void expect_status(const http::Response& response, long expected) {
  if (response.status != expected) throw_error_from_response(response);
}

}  // namespace

BlobError::BlobError(long status_, std::string code_, std::string message_)
    : std::runtime_error(describe(status_, code_, message_)),
      status(status_),
      code(std::move(code_)),
      message(std::move(message_)) {}

void throw_error_from_response(const http::Response& response) {
  auto [body_code, message] = parse_error_body(response.body);
  std::string code = response.header("x-ms-error-code").value_or(body_code);
  if (response.status == 404 && code == "BlobNotFound") {
    throw BlobNotFoundError(response.status, std::move(code), std::move(message));
  }
  throw BlobError(response.status, std::move(code), std::move(message));
}

BlobServiceClient BlobServiceClient::from_connection_string(std::string_view connection_string) {
  return BlobServiceClient(parse_connection_string(connection_string));
}

BlobServiceClient::BlobServiceClient(ConnectionSettings settings)
    : _settings(std::make_shared<const ConnectionSettings>(std::move(settings))) {}

BlobServiceClient::ContainerClient BlobServiceClient::get_container_client(std::string container_name) const {
  return ContainerClient(_settings, std::move(container_name));
}

BlobServiceClient::ContainerClient::ContainerClient(std::shared_ptr<const ConnectionSettings> settings,
                                                    std::string container_name)
    : _settings(std::move(settings)), _container_name(std::move(container_name)) {
  if (_container_name.empty()) throw ValueError("the container name is empty");
}

std::atomic<int> AsyncBlobServiceClient::_open_count{0};

AsyncBlobServiceClient::AsyncBlobServiceClient(const BlobServiceClient& service,
                                               std::chrono::milliseconds request_timeout)
    : _settings(service.shared_settings()), _session({}, request_timeout) {
  ++_open_count;
}

AsyncBlobServiceClient::~AsyncBlobServiceClient() { close(); }

void AsyncBlobServiceClient::close() noexcept {
  if (!_open) return;
  _open = false;
  _session.close();
  --_open_count;
}

AsyncBlobServiceClient::ContainerClient AsyncBlobServiceClient::get_container_client(std::string container_name) {
  return ContainerClient(*this, std::move(container_name));
}

Awaitable<http::Response> AsyncBlobServiceClient::send(std::string method, std::string resource, QueryList query,
                                                       HeaderList headers, std::string body) {
  if (!_open) throw std::logic_error("request through a closed blob service client");
  const ConnectionSettings& settings = *_settings;
  headers.emplace_back("x-ms-date", rfc1123_now());
  headers.emplace_back("x-ms-version", std::string(service_version));
  if (settings.uses_shared_key()) {
    const std::string to_sign = shared_key_string_to_sign(method, headers, body.size(), settings.account_name,
                                                          settings.endpoint_path + resource, query);
    headers.emplace_back("Authorization", "SharedKey " + settings.account_name + ":" +
                                              shared_key_signature(settings.account_key, to_sign));
  }
  std::string query_text = encode_query(query);
  if (!settings.sas_token.empty()) {
    if (!query_text.empty()) query_text.push_back('&');
    query_text += settings.sas_token;
  }

  std::string url = settings.blob_endpoint + resource;
  if (!query_text.empty()) url += "?" + query_text;
  co_return co_await _session.request(std::move(method), std::move(url), std::move(headers), std::move(body));
}

AsyncBlobServiceClient::ContainerClient::ContainerClient(AsyncBlobServiceClient& service, std::string container_name)
    : _service(&service), _container_name(std::move(container_name)) {
  if (_container_name.empty()) throw ValueError("the container name is empty");
}

Awaitable<std::vector<std::string>> AsyncBlobServiceClient::ContainerClient::list_blob_names(std::string prefix,
                                                                                            std::size_t page_size) {
  std::vector<std::string> names;
  std::string marker;
  while (true) {
    // Empty parameters are never sent: the service signs them differently from absent ones.
    QueryList query{{"restype", "container"}, {"comp", "list"}};
    if (!prefix.empty()) query.emplace_back("prefix", prefix);
    if (!marker.empty()) query.emplace_back("marker", marker);
    if (page_size > 0) query.emplace_back("maxresults", std::to_string(page_size));
    const http::Response response =
        co_await _service->send("GET", "/" + percent_encode(_container_name, false), std::move(query), HeaderList());
    expect_status(response, 200);
    BlobListPage page = parse_blob_list(response.body);
    for (auto& name : page.names) names.push_back(std::move(name));
    if (page.next_marker.empty()) co_return names;
    if (page.next_marker == marker) {
      throw std::runtime_error("List Blobs answered the same NextMarker twice ('" + marker + "')");
    }
    marker = std::move(page.next_marker);
  }
}

Awaitable<bool> AsyncBlobServiceClient::ContainerClient::create() {
  // Braced lists are kept out of co_await expressions: g++ 12 miscompiles them there.
  QueryList query{{"restype", "container"}};
  const http::Response response =
      co_await _service->send("PUT", "/" + percent_encode(_container_name, false), std::move(query), HeaderList());
  if (response.status == 409 && response.header("x-ms-error-code").value_or("") == "ContainerAlreadyExists") {
    co_return false;
  }
  expect_status(response, 201);
  co_return true;
}

AsyncBlobServiceClient::BlobClient AsyncBlobServiceClient::ContainerClient::get_blob_client(std::string blob_name) {
  return BlobClient(*_service, _container_name, std::move(blob_name));
}

AsyncBlobServiceClient::BlobClient::BlobClient(AsyncBlobServiceClient& service, std::string container_name,
                                               std::string blob_name)
    : _service(&service), _container_name(std::move(container_name)), _blob_name(std::move(blob_name)) {
  if (_blob_name.empty()) throw ValueError("the blob name is empty");
}

std::string AsyncBlobServiceClient::BlobClient::resource() const {
  return "/" + percent_encode(_container_name, false) + "/" + percent_encode(_blob_name, true);
}

Awaitable<std::string> AsyncBlobServiceClient::BlobClient::download() {
  http::Response response = co_await _service->send("GET", resource(), QueryList(), HeaderList());
  expect_status(response, 200);
  co_return std::move(response.body);
}

Awaitable<void> AsyncBlobServiceClient::BlobClient::upload(std::string content) {
  // Put Blob replaces an existing blob whole; the length is exact, never chunked.
  HeaderList headers{{"Content-Type", "application/octet-stream"}, {"x-ms-blob-type", "BlockBlob"}};
  const http::Response response =
      co_await _service->send("PUT", resource(), QueryList(), std::move(headers), std::move(content));
  expect_status(response, 201);
}

}  // namespace vesk::blob

#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"

#include "vesk/config/config.hpp"
#include "vesk/loop/errors.hpp"

#include <exception>
#include <utility>

namespace vesk {

VeskAzureBlobBackend::VeskAzureBlobBackend(AzureStorageConfig config_, Logger logger_)
    : VeskFileBackend(config_.prefix),
      config(std::move(config_)),
      logger(logger_ ? std::move(logger_) : named_logger(module_logger_name)),
      _blob_service_client(blob::BlobServiceClient::from_connection_string(config.connection_string)),
      _container_client(_blob_service_client.get_container_client(config.container_name)) {}

std::shared_ptr<VeskAzureBlobBackend> VeskAzureBlobBackend::from_env(Logger logger) {
  const Config env = Config::from_env();
  return std::make_shared<VeskAzureBlobBackend>(
      AzureStorageConfig{env.AZURE_STORAGE_CONNECTION_STRING, env.AZURE_STORAGE_CONTAINER_NAME,
                         env.AZURE_STORAGE_PREFIX},
      std::move(logger));
}

void VeskAzureBlobBackend::set_request_policy(const blob::RequestPolicy& policy) {
  if (policy.max_tries < 1)
    throw ValueError("a blob request needs at least one try, got " + std::to_string(policy.max_tries));
  _request_policy = policy;
}

// Each operation opens its own client; the client closes when the operation's frame ends, on
// success, on failure and on cancellation alike. Failures before the guarded work reach the
// caller unlogged; failures in it are logged once and rethrown unchanged.

Awaitable<std::vector<std::string>> VeskAzureBlobBackend::list_files_async(std::string directory) {
  blob::AsyncBlobServiceClient client(_blob_service_client, _request_policy, logger);
  auto container = client.get_container_client(config.container_name);
  try {
    if (!directory.empty() && directory.back() != '/') directory.push_back('/');
    co_return co_await container.list_blob_names(directory, _list_page_size);
  } catch (...) {
    rethrow_if_cancellation(std::current_exception());
    logger->error("Error listing files in directory '" + directory + "': " + error_text(std::current_exception()));
    throw;
  }
}

Awaitable<std::optional<std::string>> VeskAzureBlobBackend::get_file_contents_async(std::string file_path) {
  const std::string blob_name = prefix + file_path;
  blob::AsyncBlobServiceClient client(_blob_service_client, _request_policy, logger);
  auto blob = client.get_container_client(config.container_name).get_blob_client(blob_name);
  try {
    co_return co_await blob.download();
  } catch (const blob::BlobNotFoundError&) {
    logger->error("File not found: " + blob_name);
  } catch (...) {
    rethrow_if_cancellation(std::current_exception());
    logger->error("Error reading file '" + blob_name + "': " + error_text(std::current_exception()));
    throw;
  }
  co_return std::nullopt;
}

Awaitable<void> VeskAzureBlobBackend::set_file_contents_async(std::string file_path, std::string content) {
  const std::string blob_name = prefix + file_path;
  blob::AsyncBlobServiceClient client(_blob_service_client, _request_policy, logger);
  auto blob = client.get_container_client(config.container_name).get_blob_client(blob_name);
  try {
    co_await blob.upload(std::move(content));
  } catch (...) {
    rethrow_if_cancellation(std::current_exception());
    logger->error("Error writing to file '" + blob_name + "': " + error_text(std::current_exception()));
    throw;
  }
}

Awaitable<VeskFileBackend::VersionedContents> VeskAzureBlobBackend::get_versioned_file_contents_async(
    std::string file_path) {
  const std::string blob_name = prefix + file_path;
  blob::AsyncBlobServiceClient client(_blob_service_client, _request_policy, logger);
  auto blob = client.get_container_client(config.container_name).get_blob_client(blob_name);
  try {
    auto read = co_await blob.download_versioned();
    // Said as get_file_contents_async says it.
    if (!read.body) logger->error("File not found: " + blob_name);
    co_return VersionedContents{std::move(read.body), std::move(read.etag)};
  } catch (...) {
    rethrow_if_cancellation(std::current_exception());
    logger->error("Error reading file '" + blob_name + "': " + error_text(std::current_exception()));
    throw;
  }
}

Awaitable<VeskFileBackend::ConditionalWrite> VeskAzureBlobBackend::set_file_contents_if_async(
    std::string file_path, std::string content, std::optional<std::string> expected_tag) {
  const std::string blob_name = prefix + file_path;
  blob::AsyncBlobServiceClient client(_blob_service_client, _request_policy, logger);
  auto blob = client.get_container_client(config.container_name).get_blob_client(blob_name);
  try {
    auto etag = co_await blob.upload_if(std::move(content), std::move(expected_tag));
    if (!etag) co_return ConditionalWrite{false, ""};
    co_return ConditionalWrite{true, std::move(*etag)};
  } catch (...) {
    rethrow_if_cancellation(std::current_exception());
    logger->error("Error writing to file '" + blob_name + "': " + error_text(std::current_exception()));
    throw;
  }
}

}  // namespace vesk

#pragma once
// The file backend that keeps files as blobs in one Azure Blob Storage container: the file
// `path` is the blob `prefix + path`.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/vesk_azure_blob_backend/blob_client.hpp"
#include "vesk/vesk_file_backend/vesk_file_backend.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

// Configuration for Azure Storage client.
struct AzureStorageConfig {
  std::string connection_string;
  std::string container_name;
  std::string prefix;
};

// Client for Azure Blob Storage operations.
class VeskAzureBlobBackend : public VeskFileBackend {
 public:
  // Fails with blob::ConnectionStringError when the connection string is unusable and with
  // ValueError when the container name is empty. Without a logger, the module's own is used.
  explicit VeskAzureBlobBackend(AzureStorageConfig config, Logger logger = nullptr);

  // From AZURE_STORAGE_CONNECTION_STRING, AZURE_STORAGE_CONTAINER_NAME and AZURE_STORAGE_PREFIX.
  static std::shared_ptr<VeskAzureBlobBackend> from_env(Logger logger);

  // List all files in a given directory asynchronously: the full names of the blobs under
  // `directory` ("/" appended when missing; the prefix is not applied), all when empty.
  Awaitable<std::vector<std::string>> list_files_async(std::string directory = "");
  // Get the contents of a file as bytes asynchronously; none when the blob does not exist.
  Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) override;
  // Set the contents of a file asynchronously, replacing any blob of that name.
  Awaitable<void> set_file_contents_async(std::string file_path, std::string content) override;
  // The tag is the blob's ETag; a conditional write is a Put Blob with If-Match (or
  // If-None-Match: * when there was no blob), checked by the service itself.
  Awaitable<VersionedContents> get_versioned_file_contents_async(std::string file_path) override;
  Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                         std::optional<std::string> expected_tag) override;
  bool has_conditional_writes() const noexcept override { return true; }

  // How many names one List Blobs request asks for (1 to 5000; 0 lets the service choose).
  void set_list_page_size(std::size_t page_size) noexcept { _list_page_size = page_size; }

  // Retries, time limits and the largest state accepted (2 GiB by default), for the operations
  // that start from now on. Retries are logged at warning level.
  void set_request_policy(const blob::RequestPolicy& policy);
  const blob::RequestPolicy& request_policy() const noexcept { return _request_policy; }

  static constexpr const char* module_logger_name = "vesk.lib.vesk_azure_blob_backend";

  const AzureStorageConfig config;
  const Logger logger;

 private:
  blob::BlobServiceClient _blob_service_client;
  blob::BlobServiceClient::ContainerClient _container_client;
  std::size_t _list_page_size = 0;
  blob::RequestPolicy _request_policy;
};

}  // namespace vesk

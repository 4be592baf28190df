#include "vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using vesk::AzureStorageConfig;
using vesk::VeskAzureBlobBackend;

namespace {

TEST(AzureBackendConstruction, UnusableSettingsFailConstructionWithAClearError) {
  EXPECT_THROW(VeskAzureBlobBackend(AzureStorageConfig{"", "c", ""}), vesk::blob::ConnectionStringError);
  EXPECT_THROW(VeskAzureBlobBackend(AzureStorageConfig{"AccountName=a", "c", ""}), vesk::blob::ConnectionStringError);
  EXPECT_THROW(VeskAzureBlobBackend(AzureStorageConfig{"UseDevelopmentStorage=true", "", ""}), vesk::ValueError);
}

TEST(AzureBackendConstruction, KeepsConfigNormalisesPrefixAndDefaultsToTheModuleLogger) {
  VeskAzureBlobBackend b(AzureStorageConfig{"UseDevelopmentStorage=true", "c", "states"});
  EXPECT_EQ(b.prefix, "states/");
  EXPECT_EQ(b.config.prefix, "states");
  EXPECT_EQ(b.config.container_name, "c");
  ASSERT_TRUE(b.logger);
  EXPECT_EQ(b.logger->name(), "vesk.lib.vesk_azure_blob_backend");

  vesk::testing::LogCapture log;
  VeskAzureBlobBackend with_logger(AzureStorageConfig{"UseDevelopmentStorage=true", "c", ""}, log.logger());
  EXPECT_EQ(with_logger.logger, log.logger());
  EXPECT_EQ(with_logger.prefix, "");
}

TEST(AzureBackendConstruction, FromEnvReadsTheThreeVariablesAnewEachTime) {
  ::setenv("AZURE_STORAGE_CONNECTION_STRING", "UseDevelopmentStorage=true", 1);
  ::setenv("AZURE_STORAGE_CONTAINER_NAME", "states-container", 1);
  ::setenv("AZURE_STORAGE_PREFIX", "job-a", 1);
  auto first = VeskAzureBlobBackend::from_env(nullptr);
  EXPECT_EQ(first->config.connection_string, "UseDevelopmentStorage=true");
  EXPECT_EQ(first->config.container_name, "states-container");
  EXPECT_EQ(first->prefix, "job-a/");
  EXPECT_EQ(first->logger->name(), "vesk.lib.vesk_azure_blob_backend");

  ::setenv("AZURE_STORAGE_PREFIX", "", 1);
  EXPECT_EQ(VeskAzureBlobBackend::from_env(nullptr)->prefix, "");
  ::setenv("AZURE_STORAGE_CONNECTION_STRING", "AccountName=x", 1);
  EXPECT_THROW(VeskAzureBlobBackend::from_env(nullptr), vesk::blob::ConnectionStringError);
}

}  // namespace

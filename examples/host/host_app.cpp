// host_app.cpp: the engine in a host application. Kafka settings come from KAFKA_*, state goes
// to blob storage when AZURE_STORAGE_CONNECTION_STRING is set, otherwise to ./app-state.
#include <vesk/stream_handler/handler_registry.hpp>
#include <vesk/vesk.hpp>
#include <vesk/vesk_azure_blob_backend/vesk_azure_blob_backend.hpp>
#include <vesk/vesk_kafka_feed/vesk_kafka_feed.hpp>
#include <vesk/vesk_local_file_backend/vesk_local_file_backend.hpp>

#include <chrono>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
  const std::chrono::seconds run_for(argc > 1 ? std::atoi(argv[1]) : 3600);
  vesk::EventLoop loop;  // everything below runs on its thread
  auto logger = vesk::named_logger("app");
  std::shared_ptr<vesk::VeskFileBackend> storage;
  if (std::getenv("AZURE_STORAGE_CONNECTION_STRING") != nullptr) {
    storage = vesk::VeskAzureBlobBackend::from_env(logger);
  } else {
    storage = std::make_shared<vesk::VeskLocalFileBackend>("./app-state");
  }
  std::shared_ptr<vesk::VeskFeed> source = vesk::VeskKafkaFeed::from_env(logger);
  vesk::Vesk engine(logger, storage, /*workers_per_partition=*/4, std::chrono::seconds(1));
  engine.source(source).process(vesk::create_stream_handler("app.words.WordStats"));
  loop.run_until_complete([&]() -> vesk::Awaitable<void> {
    engine.start();
    co_await vesk::sleep(run_for);  // or until a signal
    co_await engine.stop();
    co_await source->stop();  // the engine never stops the source itself
  }());
  return 0;
}

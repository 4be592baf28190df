#pragma once
// The soak's producer: writes a known sequence at a steady rate on a thread of its own. Message
// n goes to partition n mod P with the key "<partition>.<(n / P) mod K>", so every partition
// receives the same share and has K keys of its own.

#include <librdkafka/rdkafka.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vesk::chaos {

class Producer {
 public:
  Producer(const std::string& bootstrap, std::string topic, int partitions, int keys, double rate);
  ~Producer();
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  void start();
  // Stops writing and waits until every queued message is acknowledged (or `limit` passes).
  void stop(std::chrono::milliseconds limit);
  // Messages acknowledged per partition, and deliveries that failed.
  std::vector<std::int64_t> delivered() const;
  std::int64_t failed() const { return _failed.load(); }
  // The partitions' end offsets as the cluster reports them: what was written to each.
  std::vector<std::int64_t> end_offsets(std::chrono::milliseconds limit) const;

 private:
  struct ClientDeleter {
    void operator()(rd_kafka_t* rk) const noexcept { rd_kafka_destroy(rk); }
  };
  static void on_delivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque);
  void run();

  std::unique_ptr<rd_kafka_t, ClientDeleter> _client;
  std::string _topic;
  int _partitions;
  int _keys;
  double _rate;
  std::atomic<bool> _stopping{false};
  std::unique_ptr<std::atomic<std::int64_t>[]> _delivered;
  std::atomic<std::int64_t> _failed{0};
  std::thread _thread;
};

}  // namespace vesk::chaos

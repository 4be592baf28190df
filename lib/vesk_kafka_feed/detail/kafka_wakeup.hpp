#pragma once
// The eventfd through which the Kafka client wakes the event loop when a queue receives something.

#include "vesk/loop/event_loop.hpp"

#include <librdkafka/rdkafka.h>

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <memory>

namespace vesk::kafka {

// A non-blocking eventfd watched on the loop. librdkafka writes to it when a queue it is enabled
// on goes from empty to non-empty, once until the queue is read again.
class Wakeup {
 public:
  enum class Result { readable, timed_out, aborted };

  explicit Wakeup(const asio::any_io_executor& executor);
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Makes `queue` write to this fd. Enable before the queue can receive anything: enabling on a
  // queue that already holds an entry gives no wakeup until it is read.
  void watch(rd_kafka_queue_t* queue);
  // Stops the watched queue from writing here; needed before the fd closes, since the queue
  // itself may outlive our handle on it.
  void unwatch();
  // Empties the fd's counter.
  void drain() noexcept;
  // Waits until the fd is readable or `timeout` passes. `aborted` when cancel() was called or
  // the waiting task was cancelled (the caller tells which).
  Awaitable<Result> wait(std::chrono::milliseconds timeout);
  void cancel() noexcept;

 private:
  // Shared with a pending timeout handler, which must not outlive it unknowingly.
  std::shared_ptr<asio::posix::stream_descriptor> _descriptor;
  rd_kafka_queue_t* _watched = nullptr;
};

}  // namespace vesk::kafka

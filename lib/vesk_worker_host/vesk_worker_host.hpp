#pragma once
// The worker process: handles the messages a partition consumer routes to it, calls the stream
// handler for each, keeps every key's state, and hands the states back on request: all of them,
// or those changed or removed since its last answer (the values are those of worker_protocol.hpp).
//
// Program: vesk_worker_host HOST PORT HANDLER_PATH
//   HOST PORT     the address of the consumer's ChannelListener for this worker
//   HANDLER_PATH  the stream-handler path ("<module>.<class>", from get_module_path()), or the
//                 empty string for a worker without a handler
// Environment:
//   VESK_WORKER_SECRET the channel's secret, from the consumer (see channel/handshake.hpp); read
//                      and removed from the environment before the handler is loaded
//   VESK_PARENT_PID    the pid of the process that starts the worker (set it when spawning);
//                      the worker is killed when that process ends, and exits at once when
//                      its parent is already another process
//   VESK_HANDLER_PATH  directories searched for handler modules (see handler_registry.hpp)
// Standard output carries the "Worker process error: " lines: one per message whose process()
// failed (at most 10 a second, then a count of those not printed), and one for any other
// failure; the same failure repeated (a closed channel) is printed again only once a minute.
// The program runs until it is killed; it exits with status 1 (message on standard error) when
// it has no secret, cannot connect, is refused by the consumer, cannot create the handler, or the
// first value on the channel is not a state map, and with status 2 on a bad command line.

#include "vesk/channel/channel.hpp"
#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/stream_handler/stream_handler.hpp"
#include "vesk/values/value.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk {

class VeskWorkerHost {
 public:
  // Runs the whole worker: connects to `address`, creates the handler, and serves the channel.
  // Returns only by an error (connection, handler creation, first value).
  explicit VeskWorkerHost(std::pair<std::string, std::uint16_t> address,
                          std::optional<std::string> stream_handler_path = std::nullopt);

  // The handler named by the path, or none for no path or an empty one.
  static std::unique_ptr<StreamHandlerBase> _create_process_func(const std::optional<std::string>& stream_handler_path);

 private:
  Awaitable<void> _main(std::pair<std::string, std::uint16_t> address, std::optional<std::string> stream_handler_path);
  Awaitable<Value> _receive();
  Awaitable<void> _run();
  // A message that cannot be processed (no key, a key that is not UTF-8) is reported and skipped
  // alone: the rest of the batch is still processed, since the consumer counts the whole batch
  // as done once it is answered.
  Awaitable<void> _process_messages(const std::vector<Message>& messages);
  // Replies to a collection request with a CollectionAnswer: the whole state map (`states` when
  // there is no handler), or the changes since the last reply when the handler keeps track, or
  // the refusal naming the key (and the reason) when the answer cannot be encoded or sent whole.
  Awaitable<void> _answer_collection(const Dict& states);

  // Error lines of one kind (failing process() calls, skipped messages), at most 10 a second;
  // what is held back is counted in one line ("N more <what> not printed") when its second is over.
  class ProcessFailures {
   public:
    ProcessFailures(EventLoop& loop, std::string what) : _loop(loop), _what(std::move(what)) {}
    void failed(Offset offset, const std::string& key, const std::string& what);
    void print(const std::string& line);

   private:
    void _report_held();
    Awaitable<void> _report_at_window_end(std::uint64_t window);

    EventLoop& _loop;
    std::string _what;
    std::chrono::steady_clock::time_point _window_start;
    std::uint64_t _window = 0;
    int _printed = 0;
    std::int64_t _held = 0;
    Task<void> _flush;
  };

  EventLoop _loop;
  ProcessFailures _process_failures;
  ProcessFailures _skipped_messages;
  std::shared_ptr<ChannelConnection> _client;
  std::unique_ptr<StreamHandlerBase> _process_func;
  // The messages of the current batch that have a usable key; kept for its capacity.
  std::vector<const Message*> _ready;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vesk

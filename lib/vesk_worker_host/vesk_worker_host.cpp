#include "vesk/vesk_worker_host/vesk_worker_host.hpp"

#include "vesk/channel/handshake.hpp"
#include "vesk/channel/worker_protocol.hpp"
#include "vesk/loop/errors.hpp"
#include "vesk/loop/task.hpp"

#include <chrono>
#include <cstdio>
#include <exception>

namespace vesk {
namespace {

namespace wp = worker_protocol;

constexpr int process_failures_per_window = 10;
constexpr auto process_failure_window = std::chrono::seconds(1);
// The same error again and again (a channel that has closed) is printed at most this often.
constexpr auto repeated_error_period = std::chrono::seconds(60);

void print_error_line(const std::string& text) {
  std::string line = "Worker process error: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void VeskWorkerHost::ProcessFailures::failed(Offset offset, const std::string& key, const std::string& what) {
  print("process failed at offset " + std::to_string(offset) + " for key '" + key + "': " + what);
}

void VeskWorkerHost::ProcessFailures::print(const std::string& line) {
  const auto now = std::chrono::steady_clock::now();
  if (now - _window_start >= process_failure_window) {
    _report_held();
    _window_start = now;
    _printed = 0;
    ++_window;
  }
  if (_printed < process_failures_per_window) {
    ++_printed;
    print_error_line(line);
    return;
  }
  ++_held;
  if (!_flush || _flush.done()) _flush = Task<void>::create(_loop, _report_at_window_end(_window));
}

void VeskWorkerHost::ProcessFailures::_report_held() {
  if (_held == 0) return;
  print_error_line(std::to_string(_held) + " more " + _what + " not printed");
  _held = 0;
}

// Reports what a window held back once it is over, also when no further failure comes.
Awaitable<void> VeskWorkerHost::ProcessFailures::_report_at_window_end(std::uint64_t window) {
  const auto left = _window_start + process_failure_window - std::chrono::steady_clock::now();
  if (left > std::chrono::steady_clock::duration::zero()) co_await sleep(left);
  if (_window == window) _report_held();
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (c >= 0xc2 && c <= 0xdf) {
      need = 1, cp = c & 0x1f, min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
      need = 2, cp = c & 0x0f, min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
      need = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    for (std::size_t i = 1; i <= need; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    p += need + 1;
  }
  return true;
}

VeskWorkerHost::VeskWorkerHost(std::pair<std::string, std::uint16_t> address,
                               std::optional<std::string> stream_handler_path)
    : _loop(1), _process_failures(_loop, "process failures"), _skipped_messages(_loop, "skipped messages") {
  _loop.run_until_complete(_main(std::move(address), std::move(stream_handler_path)));
}

std::unique_ptr<StreamHandlerBase> VeskWorkerHost::_create_process_func(
    const std::optional<std::string>& stream_handler_path) {
  if (!stream_handler_path || stream_handler_path->empty()) return nullptr;
  return create_stream_handler(*stream_handler_path);
}

// Connecting and creating the handler happen on the running loop, so that a handler's
// constructor may already use it.
Awaitable<void> VeskWorkerHost::_main(std::pair<std::string, std::uint16_t> address,
                                      std::optional<std::string> stream_handler_path) {
  // The secret leaves the environment before any handler code runs.
  _client = co_await ChannelConnection::connect(address.first, address.second, take_worker_secret());
  _process_func = _create_process_func(stream_handler_path);
  co_await _run();
}

Awaitable<Value> VeskWorkerHost::_receive() { co_return co_await _client->receive(); }

Awaitable<void> VeskWorkerHost::_run() {
  Value first = co_await _receive();
  if (first.is_text() && first.as_text() == handshake_refused_text) {
    throw ChannelError(std::string("the consumer refused this worker's handshake: ") + worker_secret_variable +
                       " does not hold the secret of the listener at the address given");
  }
  Dict states = wp::StateHandOver::decode(std::move(first));
  if (_process_func) {
    // From here on the handler holds the states in its own typed map.
    _process_func->load_key_states(std::move(states));
    states = Dict();
  }

  // Batches are decoded straight into these messages, whose buffers serve batch after batch.
  std::vector<Message> batch;
  std::string last_error;
  auto last_error_printed = std::chrono::steady_clock::time_point();
  while (true) {
    std::exception_ptr failure;
    try {
      Value data;
      const auto request = wp::decode_request(co_await _client->receive_frame(), batch, data);
      if (request == wp::Request::batch) {
        if (_process_func) co_await _process_messages(batch);
        co_await _client->send_with(wp::Drained::encode);
      } else if (request == wp::Request::collect) {
        co_await _answer_collection(states);
      } else {
        // Answered all the same, so that the consumer never waits for a reply that cannot come.
        const std::string what = std::string("unexpected value on the worker channel: ") + data.kind_name() + " " +
                                 data.repr().substr(0, 200);
        print_error_line(what);
        co_await _client->send(Value(what));
      }
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      rethrow_if_cancellation(failure);
      std::string text = error_text(failure);
      const auto now = std::chrono::steady_clock::now();
      if (text != last_error || now - last_error_printed >= repeated_error_period) {
        print_error_line(text);
        last_error = std::move(text);
        last_error_printed = now;
      }
      co_await sleep(std::chrono::seconds(1));
    } else {
      last_error.clear();
    }
  }
}

// A collection is always answered: with the state map, or with a text saying why there is none,
// so that the consumer's checkpoint fails instead of waiting for a map that cannot come.
Awaitable<void> VeskWorkerHost::_answer_collection(const Dict& states) {
  std::string encoded;
  std::string refusal;
  // A handler that keeps track of its changes answers with only those: the consumer holds the
  // rest from earlier answers and the hand-over.
  const bool changes_only = _process_func && _process_func->tracks_key_state_changes();
  try {
    if (changes_only) {
      pickle::Writer writer(encoded);
      _process_func->write_key_state_changes(writer);
      writer.finish();
    } else if (_process_func) {
      pickle::Writer writer(encoded);
      _process_func->write_key_states(writer);
      writer.finish();
    } else {
      pickle::Writer writer(encoded);
      writer.dict(states);
      writer.finish();
    }
    if (encoded.size() > max_frame_bytes) {
      refusal = "the state map takes " + std::to_string(encoded.size()) + " bytes, over the channel's limit of " +
                std::to_string(max_frame_bytes) + " bytes";
    }
  } catch (...) {
    refusal = error_text(std::current_exception());
  }
  if (refusal.empty()) {
    co_await _client->send_encoded(std::move(encoded));
    // Only once they are sent: an answer that was refused still owes the consumer its changes.
    if (changes_only) _process_func->forget_key_state_changes();
  } else {
    std::string().swap(encoded);
    co_await _client->send_with([&refusal](std::string& out) { wp::CollectionAnswer::encode_refusal(out, refusal); });
  }
}

Awaitable<void> VeskWorkerHost::_process_messages(const std::vector<Message>& messages) {
  _ready.clear();
  for (const Message& message : messages) {
    if (!message.key) {
      _skipped_messages.print("message at offset " + std::to_string(message.offset) + " skipped: it has no key");
    } else if (!is_valid_utf8(*message.key)) {
      _skipped_messages.print("message at offset " + std::to_string(message.offset) +
                              " skipped: its key is not valid UTF-8");
    } else {
      _ready.push_back(&message);
    }
  }
  // A failing handler leaves the key's state as it was and the batch goes on, but it is seen.
  // Named, not a temporary in the co_await: g++ 12 may destroy such a temporary twice.
  const StreamHandlerBase::ProcessFailed failed = [this](const Message& message, std::exception_ptr failure) {
    rethrow_if_cancellation(failure);
    _process_failures.failed(message.offset, *message.key, error_text(failure));
  };
  co_await _process_func->process_messages(_ready, failed);
}

}  // namespace vesk

#include "vesk/vesk_kafka_feed/detail/kafka_wakeup.hpp"

#include "vesk/loop/errors.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vesk::kafka {
namespace {

int make_eventfd() {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd for a Kafka queue");
  return fd;
}

}  // namespace

Wakeup::Wakeup(const asio::any_io_executor& executor)
    : _descriptor(std::make_shared<asio::posix::stream_descriptor>(executor, make_eventfd())) {}

Wakeup::~Wakeup() { unwatch(); }

void Wakeup::watch(rd_kafka_queue_t* queue) {
  // An eventfd takes exactly eight bytes per write; the client copies the payload.
  static const std::uint64_t one = 1;
  rd_kafka_queue_io_event_enable(queue, _descriptor->native_handle(), &one, sizeof one);
  _watched = queue;
}

void Wakeup::unwatch() {
  if (_watched) rd_kafka_queue_io_event_enable(_watched, -1, nullptr, 0);
  _watched = nullptr;
}

void Wakeup::drain() noexcept {
  std::uint64_t counter = 0;
  while (::read(_descriptor->native_handle(), &counter, sizeof counter) > 0) {
  }
}

Awaitable<Wakeup::Result> Wakeup::wait(std::chrono::milliseconds timeout) {
  // The first of the two waits to end ends the other; an error code is an ending like any other.
  using namespace asio::experimental::awaitable_operators;
  std::error_code error;
  std::error_code timer_error;
  auto descriptor = _descriptor;  // the wait holds the descriptor, whatever happens to this Wakeup
  asio::steady_timer timer(descriptor->get_executor(), timeout);
  auto readable = descriptor->async_wait(asio::posix::descriptor_base::wait_read,
                                         asio::redirect_error(asio::use_awaitable, error));
  auto expired = timer.async_wait(asio::redirect_error(asio::use_awaitable, timer_error));
  const auto first = co_await (std::move(readable) || std::move(expired));
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw CancelledError();
  if (first.index() == 1) co_return Result::timed_out;
  co_return error ? Result::aborted : Result::readable;
}

void Wakeup::cancel() noexcept {
  std::error_code ignored;
  _descriptor->cancel(ignored);
}

}  // namespace vesk::kafka

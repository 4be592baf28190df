#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include "vesk/loop/errors.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <string>

namespace vesk {

VeskMemoryFeed::VeskMemoryFeed(Logger logger, int partitions, std::chrono::steady_clock::duration max_wait)
    : VeskFeed(std::move(logger)), _max_wait(max_wait) {
  if (partitions < 1)
    throw ValueError("VeskMemoryFeed needs at least one partition, got " + std::to_string(partitions));
  _partitions.resize(static_cast<std::size_t>(partitions));
}

VeskMemoryFeed::~VeskMemoryFeed() = default;

VeskMemoryFeed::Partition& VeskMemoryFeed::partition_at(PartitionId partition) {
  if (partition < 0 || static_cast<std::size_t>(partition) >= _partitions.size()) {
    throw ValueError("VeskMemoryFeed has no partition " + std::to_string(partition) + " (it has " +
                     std::to_string(_partitions.size()) + ")");
  }
  return _partitions[static_cast<std::size_t>(partition)];
}

const VeskMemoryFeed::Partition& VeskMemoryFeed::partition_at(PartitionId partition) const {
  return const_cast<VeskMemoryFeed*>(this)->partition_at(partition);
}

Awaitable<void> VeskMemoryFeed::stop() {
  if (!_started) co_return;
  _started = false;
  auto revoked = std::move(_assigned);
  _assigned.clear();
  // Leaving the group loses every partition, as with a broker.
  if (_listener && !revoked.empty()) _listener->on_partitions_revoked(revoked);
}

Awaitable<void> VeskMemoryFeed::start() {
  _started = true;
  std::vector<PartitionId> all;
  for (std::size_t p = 0; p < _partitions.size(); ++p) all.push_back(static_cast<PartitionId>(p));
  _assigned = all;
  if (_listener) _listener->on_partitions_assigned(all);
  co_return;
}

Awaitable<void> VeskMemoryFeed::seek(const PartitionState& state) {
  std::lock_guard lock(_mutex);
  auto& p = partition_at(state.partition);
  auto it = std::lower_bound(p.messages.begin(), p.messages.end(), state.offset,
                             [](const Message& m, Offset offset) { return m.offset < offset; });
  p.position = static_cast<std::size_t>(it - p.messages.begin());
  co_return;
}

Awaitable<std::vector<Message>> VeskMemoryFeed::get_many(PartitionId partition) {
  auto executor = co_await asio::this_coro::executor;
  const auto deadline = std::chrono::steady_clock::now() + _max_wait;
  for (;;) {
    auto timer = std::make_shared<asio::steady_timer>(executor, deadline);
    {
      std::lock_guard lock(_mutex);
      auto& p = partition_at(partition);
      if (p.position < p.messages.size()) {
        const std::size_t count = std::min(max_batch, p.messages.size() - p.position);
        auto first = p.messages.begin() + static_cast<std::ptrdiff_t>(p.position);
        std::vector<Message> batch(first, first + static_cast<std::ptrdiff_t>(count));
        p.position += count;
        co_return batch;
      }
      if (std::chrono::steady_clock::now() >= deadline) co_return std::vector<Message>{};
      std::erase_if(_waiters, [](const auto& w) { return w.expired(); });
      _waiters.push_back(timer);
    }
    try {
      co_await timer->async_wait(asio::use_awaitable);
    } catch (const std::system_error& e) {
      if (e.code() != asio::error::operation_aborted) throw;
      // Aborted either by a producer waking us or by cancellation of our task.
    }
    auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
    if (cancelled != asio::cancellation_type::none) throw CancelledError();
  }
}

Offset VeskMemoryFeed::produce(PartitionId partition, std::optional<std::string> key, std::string value,
                               std::int64_t timestamp) {
  Offset offset = 0;
  {
    std::lock_guard lock(_mutex);
    auto& p = partition_at(partition);
    offset = p.messages.empty() ? 0 : p.messages.back().offset + 1;
    p.messages.push_back(Message{std::move(key), std::move(value), timestamp, offset});
  }
  wake_readers();
  return offset;
}

void VeskMemoryFeed::append(PartitionId partition, std::vector<Message> messages) {
  {
    std::lock_guard lock(_mutex);
    auto& p = partition_at(partition);
    Offset last = p.messages.empty() ? -1 : p.messages.back().offset;
    for (const auto& m : messages) {
      if (m.offset <= last) {
        throw ValueError("VeskMemoryFeed::append: offset " + std::to_string(m.offset) + " does not follow " +
                         std::to_string(last) + " in partition " + std::to_string(partition));
      }
      last = m.offset;
    }
    p.messages.reserve(p.messages.size() + messages.size());
    for (auto& m : messages) p.messages.push_back(std::move(m));
  }
  wake_readers();
}

void VeskMemoryFeed::wake_readers() {
  std::vector<std::shared_ptr<asio::steady_timer>> timers;
  {
    std::lock_guard lock(_mutex);
    for (auto& w : _waiters) {
      if (auto t = w.lock()) timers.push_back(std::move(t));
    }
    _waiters.clear();
  }
  // A timer may only be touched on its own executor: producers may run on other threads.
  for (auto& t : timers) {
    asio::post(t->get_executor(), [weak = std::weak_ptr<asio::steady_timer>(t)] {
      if (auto timer = weak.lock()) timer->cancel();
    });
  }
}

void VeskMemoryFeed::revoke(const std::vector<PartitionId>& partitions) {
  for (auto p : partitions) partition_at(p);
  std::erase_if(_assigned,
                [&](PartitionId p) { return std::find(partitions.begin(), partitions.end(), p) != partitions.end(); });
  if (_listener) _listener->on_partitions_revoked(partitions);
}

void VeskMemoryFeed::assign(const std::vector<PartitionId>& partitions) {
  for (auto p : partitions) {
    partition_at(p);
    if (std::find(_assigned.begin(), _assigned.end(), p) == _assigned.end()) _assigned.push_back(p);
  }
  if (_listener) _listener->on_partitions_assigned(partitions);
}

std::size_t VeskMemoryFeed::size(PartitionId partition) const {
  std::lock_guard lock(_mutex);
  return partition_at(partition).messages.size();
}

std::vector<PartitionId> VeskMemoryFeed::assigned() const { return _assigned; }

std::optional<std::int64_t> VeskMemoryFeed::high_watermark(PartitionId partition) const {
  std::lock_guard lock(_mutex);
  if (partition < 0 || static_cast<std::size_t>(partition) >= _partitions.size()) return std::nullopt;
  const auto& messages = _partitions[static_cast<std::size_t>(partition)].messages;
  return messages.empty() ? 0 : messages.back().offset + 1;
}

}  // namespace vesk

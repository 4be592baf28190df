#include "vesk/vesk_memory_feed/vesk_memory_feed.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using vesk::Awaitable;
using vesk::EventLoop;
using vesk::Message;
using vesk::PartitionId;
using vesk::PartitionState;
using vesk::Task;
using vesk::VeskMemoryFeed;

namespace {

using Clock = std::chrono::steady_clock;

struct RecordingListener : vesk::VeskRebalanceListener {
  std::vector<std::string> calls;
  void on_partitions_revoked(const std::vector<PartitionId>& revoked) override {
    calls.push_back("revoked " + std::to_string(revoked.size()));
  }
  void on_partitions_assigned(const std::vector<PartitionId>& assigned) override {
    std::string s = "assigned";
    for (auto p : assigned) s += " " + std::to_string(p);
    calls.push_back(s);
  }
};

PartitionState at(PartitionId partition, vesk::Offset offset) { return PartitionState{partition, offset, {}}; }

TEST(VeskMemoryFeed, GetManyReturnsAtMostOneThousandFromTheSeekPosition) {
  EventLoop loop;
  VeskMemoryFeed feed(vesk::null_logger(), 2);
  for (int i = 0; i < 2500; ++i) feed.produce(1, "k" + std::to_string(i % 7), "v" + std::to_string(i), i * 10);
  loop.run_until_complete([](VeskMemoryFeed& feed) -> Awaitable<void> {
    co_await feed.seek(at(1, 0));
    auto first = co_await feed.get_many(1);
    EXPECT_EQ(first.size(), 1000u);
    EXPECT_EQ(first.front(), (Message{"k0", "v0", 0, 0}));
    auto second = co_await feed.get_many(1);
    EXPECT_EQ(second.front().offset, 1000);
    co_await feed.seek(at(1, 2400));
    auto tail = co_await feed.get_many(1);
    EXPECT_EQ(tail.size(), 100u);
    if (tail.empty()) co_return;
    EXPECT_EQ(tail.front().offset, 2400);
    EXPECT_EQ(tail.back().offset, 2499);
  }(feed));
}

TEST(VeskMemoryFeed, SeekBetweenOffsetsStartsAtTheNextOneAndEmptyAfterTheWait) {
  EventLoop loop;
  VeskMemoryFeed feed(vesk::null_logger(), 1, 30ms);
  feed.append(0, {Message{"a", "1", 0, 10}, Message{"b", "2", 0, 12}});
  EXPECT_THROW(feed.append(0, {Message{"c", "3", 0, 12}}), vesk::ValueError);
  loop.run_until_complete([](VeskMemoryFeed& feed) -> Awaitable<void> {
    co_await feed.seek(at(0, 11));
    auto batch = co_await feed.get_many(0);
    EXPECT_EQ(batch.size(), 1u);
    if (batch.empty()) co_return;
    EXPECT_EQ(batch[0].offset, 12);
    auto start = Clock::now();
    auto empty = co_await feed.get_many(0);
    EXPECT_TRUE(empty.empty());
    EXPECT_GE(Clock::now() - start, 25ms);
  }(feed));
  EXPECT_EQ(feed.produce(0, std::nullopt, "x"), 13);
}

TEST(VeskMemoryFeed, WaitingReaderWakesWhenAnotherThreadProduces) {
  EventLoop loop;
  VeskMemoryFeed feed(vesk::null_logger(), 1, 10s);
  std::thread producer;
  auto start = Clock::now();
  auto batch = loop.run_until_complete(
      [](VeskMemoryFeed& feed, std::thread& producer) -> Awaitable<std::vector<Message>> {
        producer = std::thread([&feed] {
          std::this_thread::sleep_for(20ms);
          feed.produce(0, "k", "v");
        });
        co_return co_await feed.get_many(0);
      }(feed, producer));
  producer.join();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(VeskMemoryFeed, CancellingAWaitingReaderEndsItPromptly) {
  EventLoop loop;
  VeskMemoryFeed feed(vesk::null_logger(), 1, 10s);
  loop.run_until_complete([](VeskMemoryFeed& feed) -> Awaitable<void> {
    auto reader = Task<std::vector<Message>>::create(feed.get_many(0));
    co_await vesk::sleep(10ms);
    reader.cancel();
    EXPECT_THROW(co_await reader.wait(), vesk::CancelledError);
  }(feed));
}

TEST(VeskMemoryFeed, StartAssignsEveryPartitionAndStopRevokesThem) {
  EventLoop loop;
  VeskMemoryFeed feed(vesk::null_logger(), 3);
  auto listener = std::make_shared<RecordingListener>();
  feed.set_listener(listener);
  loop.run_until_complete([](VeskMemoryFeed& feed) -> Awaitable<void> {
    co_await feed.stop();  // harmless before the first start
    co_await feed.start();
    feed.revoke({1});
    EXPECT_EQ(feed.assigned(), (std::vector<PartitionId>{0, 2}));
    feed.assign({1});
    co_await feed.stop();
    co_await feed.stop();
  }(feed));
  EXPECT_EQ(listener->calls, (std::vector<std::string>{"assigned 0 1 2", "revoked 1", "assigned 1", "revoked 3"}));
  EXPECT_THROW(feed.revoke({3}), vesk::ValueError);
  EXPECT_THROW(VeskMemoryFeed(vesk::null_logger(), 0), vesk::ValueError);
}

}  // namespace

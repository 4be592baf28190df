#include "vesk/vesk_kafka_feed/vesk_kafka_feed.hpp"

#include "vesk/config/config.hpp"
#include "vesk/loop/errors.hpp"
#include "vesk/loop/gate.hpp"
#include "vesk/loop/task.hpp"
#include "vesk/vesk_kafka_feed/detail/kafka_handles.hpp"
#include "vesk/vesk_kafka_feed/detail/kafka_wakeup.hpp"

#include <librdkafka/rdkafka.h>

#include <asio/this_coro.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace vesk {

using namespace std::chrono_literals;
using kafka::check;
using kafka::ClientPtr;
using kafka::ErrorPtr;
using kafka::kafka_error;
using kafka::MessagePtr;
using kafka::MetadataPtr;
using kafka::PartitionListPtr;
using kafka::QueuePtr;
using kafka::Wakeup;

namespace {

constexpr int max_records = 1000;
constexpr auto fetch_wait = 1000ms;
// Seeks back to a partition's floor in a row, after which the client's messages below it are
// read through.
constexpr int max_floor_seeks = 3;
// The consumer queue is also served on this period, so the group never sees a silent member
// even if a wakeup were missed.
constexpr auto consumer_poll_period = 1000ms;
// What the client is given per seek attempt; 2.0.2 waits a thousand times less than asked, so
// a timed-out attempt is simply retried.
constexpr int seek_attempt_ms = 10000;
constexpr auto seek_retry_pause = 20ms;
constexpr auto seek_give_up = 30s;
constexpr auto close_give_up = 30s;
// How long a stop waits for a member that has joined its group to receive its first assignment.
constexpr auto first_assignment_give_up = 10s;
constexpr int watermark_timeout_ms = 10000;
constexpr auto leadership_retry_pause = 200ms;
constexpr auto first_start_round = std::chrono::milliseconds(250);
constexpr auto last_start_round = std::chrono::milliseconds(2000);
// The client's statistics, from which broker contact, group membership and the age of each
// high watermark are read.
constexpr const char* statistics_interval_ms = "1000";
// Client errors and log lines of one kind about one subject (a broker, a partition) are logged
// at most once per this period: a broker that is gone makes the client repeat itself at every
// reconnect.
constexpr auto client_log_period = 10s;

// What a client text is about: what comes before its first ": ", after the thread tag
// ("[thrd:main]: "); a broker ("127.0.0.1:9092/1") or a partition ("topic [3]").
std::string subject_of(std::string_view text) {
  if (text.starts_with("[thrd:")) {
    if (auto end = text.find("]: "); end != std::string_view::npos) text.remove_prefix(end + 3);
  }
  return std::string(text.substr(0, text.find(": ")));
}

// Lets one line of each kind through per period and counts the rest, which the next line let
// through mentions. Client log lines come from the client's own threads.
class LogLimiter {
 public:
  // None when the line is to be dropped, otherwise what to append to it.
  std::optional<std::string> admit(const std::string& kind) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(_mutex);
    auto& k = _kinds[kind];
    if (k.logged && now - *k.logged < client_log_period) {
      ++k.dropped;
      return std::nullopt;
    }
    k.logged = now;
    std::string suffix;
    if (k.dropped > 0) {
      suffix = " (" + std::to_string(k.dropped) + " more like it not logged)";
      k.dropped = 0;
    }
    return suffix;
  }

 private:
  struct Kind {
    std::optional<std::chrono::steady_clock::time_point> logged;
    std::uint64_t dropped = 0;
  };
  std::mutex _mutex;
  std::map<std::string, Kind> _kinds;
};

std::string whole_seconds(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

std::string seconds_text(std::chrono::steady_clock::duration d) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", std::chrono::duration<double>(d).count());
  return buffer;
}

// The body of a callback from the client: nothing may cross into C, so a failure is logged as
// "<what>: <error>" and goes no further.
template <class Fn>
void guarded(const Logger& logger, const char* what, Fn&& body) noexcept {
  try {
    body();
  } catch (...) {
    try {
      logger->error(std::string(what) + ": " + error_text(std::current_exception()));
    } catch (...) {
    }
  }
}

// Runs `work`, then `obligation` whatever `work` did; a failure of `work` is rethrown after.
template <class Work, class Obligation>
void then_always(Work&& work, Obligation&& obligation) {
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  obligation();
  if (failure) std::rethrow_exception(failure);
}

std::vector<VeskKafkaFeed::TopicPartition> topic_partitions(const rd_kafka_topic_partition_list_t* list) {
  std::vector<VeskKafkaFeed::TopicPartition> out;
  if (!list) return out;
  out.reserve(static_cast<std::size_t>(list->cnt));
  for (int i = 0; i < list->cnt; ++i) out.push_back({list->elems[i].topic, list->elems[i].partition});
  return out;
}

}  // namespace

// ---- the adapter between the client's rebalances and the engine's listener ----

VeskKafkaFeed::KafkaAssignmentListener::KafkaAssignmentListener(Logger logger,
                                                                std::shared_ptr<VeskRebalanceListener> listener)
    : logger(std::move(logger)), _listener(std::move(listener)) {}

namespace {
std::vector<PartitionId> partition_numbers(const std::vector<VeskKafkaFeed::TopicPartition>& list) {
  std::vector<PartitionId> out;
  out.reserve(list.size());
  for (const auto& tp : list) out.push_back(tp.partition);
  return out;
}
}  // namespace

void VeskKafkaFeed::KafkaAssignmentListener::on_partitions_revoked(const std::vector<TopicPartition>& revoked) {
  if (_listener) _listener->on_partitions_revoked(partition_numbers(revoked));
}

Awaitable<void> VeskKafkaFeed::KafkaAssignmentListener::release_partitions(const std::vector<TopicPartition>& revoked) {
  auto listener = _listener;
  if (!listener) co_return;
  co_await listener->release_partitions(partition_numbers(revoked));
}

void VeskKafkaFeed::KafkaAssignmentListener::on_partitions_assigned(const std::vector<TopicPartition>& assigned) {
  if (_listener) _listener->on_partitions_assigned(partition_numbers(assigned));
}

// ---- one assigned partition's own queue ----

struct VeskKafkaFeed::PartitionReader {
  PartitionReader(PartitionId partition, QueuePtr queue, const asio::any_io_executor& executor)
      : partition(partition), queue(std::move(queue)), wakeup(executor) {
    raw.resize(max_records);
    owned.reserve(max_records);
  }

  // Releases the queue and wakes a get_many that waits on it.
  void close() noexcept {
    closed = true;
    assigned = false;
    wakeup.unwatch();
    queue.reset();
    wakeup.cancel();
  }

  PartitionId partition;
  QueuePtr queue;
  Wakeup wakeup;
  std::vector<rd_kafka_message_t*> raw;
  std::vector<MessagePtr> owned;
  // A batch handed back, whose buffers the next read fills.
  std::vector<Message> spare;
  bool assigned = false;
  bool closed = false;
  bool reading = false;
  // The offset the next delivered message will have, when known. A seek there is a no-op, which
  // keeps what the client has prefetched.
  std::optional<Offset> next_offset;
  // No message below the last seek's target is handed out, whatever the client still holds.
  Offset floor = 0;
  // Assigned partitions fetch nothing until the first seek has been confirmed.
  bool paused = false;
  // The last read held nothing at or above the floor: the client went back before it.
  bool below_floor = false;
  // Seeks made for that since the last message handed out.
  int floor_seeks = 0;
  // The offset last committed for monitors, in this assignment.
  std::optional<Offset> committed;
};

// ---- what the client tells about its link to the cluster ----

// Read from the client's statistics and errors on the loop thread; kept across clients.
struct VeskKafkaFeed::Health {
  using Clock = std::chrono::steady_clock;

  // Whether statistics come at all (statistics.interval.ms may turn them off).
  bool enabled = true;
  Clock::time_point first_start;
  Clock::time_point client_start;
  std::optional<Clock::time_point> broker_contact;
  std::optional<Clock::time_point> member_at;
  bool member = false;
  std::string group_state = "no statistics from the client yet";
  std::string last_error;
  // A broker node's last answer, and the last answer of each partition's leader: its high
  // watermark is as fresh as that.
  std::map<std::int32_t, Clock::time_point> node_contact;
  std::map<PartitionId, Clock::time_point> watermark_at;
  // Partitions with fetched messages waiting in their queue: the client does not fetch them
  // while the queue is full, but their lag, from the watermark of that fetch, is above 0 anyway.
  std::map<PartitionId, bool> queued;

  void started(bool statistics, Clock::time_point now) {
    if (client_start == Clock::time_point{}) first_start = now;
    client_start = now;
    enabled = statistics;
    member = false;
    queued.clear();
    group_state = "no statistics from the client yet";
  }

  void on_statistics(std::string_view text, const std::string& topic, Clock::time_point now) {
    const auto stats = nlohmann::json::parse(text, nullptr, false);
    if (!stats.is_object()) return;
    if (auto brokers = stats.find("brokers"); brokers != stats.end() && brokers->is_object()) {
      for (const auto& broker : *brokers) {
        // rxidle: microseconds since the connection last received anything; -1 when it has not.
        if (!broker.is_object() || broker.value("state", "") != "UP") continue;
        const auto idle = broker.value("rxidle", std::int64_t{-1});
        if (idle < 0) continue;
        const auto at = now - std::chrono::microseconds(idle);
        broker_contact = std::max(broker_contact.value_or(at), at);
        const auto node = broker.value("nodeid", std::int32_t{-1});
        if (node >= 0) {
          auto [it, fresh] = node_contact.emplace(node, at);
          if (!fresh) it->second = std::max(it->second, at);
        }
      }
    }
    if (auto group = stats.find("cgrp"); group != stats.end() && group->is_object()) {
      const std::string state = group->value("state", "");
      const std::string join = group->value("join_state", "");
      // "up": the coordinator answers; the join states from steady to a pending (un)assign
      // call are those of a member of the current generation.
      member = state == "up" && (join == "steady" || join.starts_with("wait-assign") ||
                                 join.starts_with("wait-unassign") || join.starts_with("wait-incr"));
      group_state = "client group state " + state + ", join state " + join;
      if (member) member_at = now;
    }
    const auto topics = stats.find("topics");
    if (topics == stats.end() || !topics->contains(topic)) return;
    const auto& partitions = (*topics)[topic].value("partitions", nlohmann::json::object());
    for (const auto& [key, partition] : partitions.items()) {
      const auto number = std::atoi(key.c_str());
      if (number < 0 || !partition.is_object()) continue;
      queued[number] = partition.value("fetchq_cnt", std::int64_t{0}) > 0;
      const auto leader = partition.value("leader", std::int32_t{-1});
      if (leader < 0) continue;
      if (auto contact = node_contact.find(leader); contact != node_contact.end()) {
        watermark_at[number] = contact->second;
      }
    }
  }

  // Whether the client's high watermark of the partition came from its leader within `window`.
  bool watermark_fresh(PartitionId partition, Clock::duration window, Clock::time_point now) const {
    if (!enabled) return true;
    if (auto it = queued.find(partition); it != queued.end() && it->second) return true;
    auto at = client_start;
    if (auto it = watermark_at.find(partition); it != watermark_at.end()) at = std::max(at, it->second);
    return now - at <= window;
  }
};

// A broker's refusal of the client's credentials. The client retries on its own and fails the
// same way each time: the first refusal is the one line users see, the rest are detail.
struct VeskKafkaFeed::Refusal {
  std::string sasl;                  // "SASL mechanism M as user U", for the line
  std::atomic<bool> refused{false};  // read by the log callback on the client's threads
  std::string text;                  // loop thread only
};

// ---- the client and everything that hangs off it ----

class VeskKafkaFeed::Consumer : public std::enable_shared_from_this<VeskKafkaFeed::Consumer> {
 public:
  Consumer(Logger logger, std::string topic, std::shared_ptr<VeskRebalanceListener> listener,
           asio::any_io_executor executor, std::shared_ptr<Refusal> refusal, std::shared_ptr<Health> health)
      : logger(std::move(logger)),
        topic(std::move(topic)),
        adapter(this->logger, std::move(listener)),
        executor(std::move(executor)),
        refusal(std::move(refusal)),
        health(std::move(health)) {}

  ~Consumer() { release_now(); }
  Consumer(const Consumer&) = delete;
  Consumer& operator=(const Consumer&) = delete;

  void create(const ClientProperties& properties);
  void subscribe();
  Awaitable<void> await_cluster(const std::string& servers, std::chrono::milliseconds timeout);
  Awaitable<void> close();
  Awaitable<void> destroy_client();
  // Synchronous last resort (destructor paths): no group leave, blocks until the client is gone.
  void release_now() noexcept;

  static void rebalance_trampoline(rd_kafka_t*, rd_kafka_resp_err_t err, rd_kafka_topic_partition_list_t* partitions,
                                   void* opaque);
  static void error_trampoline(rd_kafka_t*, int err, const char* reason, void* opaque);
  static void log_trampoline(const rd_kafka_t* rk, int level, const char* facility, const char* text);
  static int statistics_trampoline(rd_kafka_t*, char* json, std::size_t length, void* opaque);
  static void commit_trampoline(rd_kafka_t*, rd_kafka_resp_err_t err, rd_kafka_topic_partition_list_t* offsets,
                                void* opaque);

  void on_rebalance(rd_kafka_resp_err_t err, rd_kafka_topic_partition_list_t* partitions);
  // Gives each newly assigned partition its own queue, watched before anything can arrive in it.
  void open_readers(const std::vector<TopicPartition>& assigned);
  // The client's part of an assignment: every partition starts paused at its earliest offset.
  void assign_paused(const rd_kafka_topic_partition_list_t* partitions, bool cooperative);
  // The client's part of a revoke (or of a failed rebalance: everything goes).
  void unassign(rd_kafka_resp_err_t err, const std::vector<TopicPartition>& revoked,
                rd_kafka_topic_partition_list_t* partitions, bool cooperative);
  void on_error(rd_kafka_resp_err_t err, const char* reason);
  void on_log(int level, const char* facility, const char* text);
  void on_commit(rd_kafka_resp_err_t err, const rd_kafka_topic_partition_list_t* offsets);
  // Commits `offset` as the partition's position in the group, without waiting for the answer.
  void commit(PartitionId partition, Offset offset);

  std::shared_ptr<PartitionReader> reader(PartitionId partition, const char* operation) const;
  // Positions the partition at `offset`, or at its earliest retained offset (with a warning)
  // when `offset` lies outside what the partition holds; a paused partition resumes after that.
  Awaitable<void> seek(const std::shared_ptr<PartitionReader>& reader, Offset offset);
  // Lets a partition that was never sought fetch from where its assignment starts it.
  Awaitable<void> resume(const std::shared_ptr<PartitionReader>& reader);
  std::vector<Message> read_ready(PartitionReader& reader);

  // Runs `fn(rk)` on the blocking pool; destroy_client() and release_now() wait until no such
  // call holds the client.
  template <class Fn>
  auto blocking(Fn fn) -> Awaitable<std::invoke_result_t<Fn&, rd_kafka_t*>>;

  Logger logger;
  std::string topic;
  KafkaAssignmentListener adapter;
  asio::any_io_executor executor;
  std::shared_ptr<Refusal> refusal;
  std::shared_ptr<Health> health;
  LogLimiter log_limiter;
  ClientPtr rk;
  QueuePtr consumer_queue;
  std::unique_ptr<Wakeup> consumer_wakeup;
  Task<void> serve_task;
  std::map<PartitionId, std::shared_ptr<PartitionReader>> readers;
  bool closing = false;
  // Set once stop() begins: assignments still reach the client, but no longer the listener.
  bool stopping = false;
  // Whether the group has ever given this member an assignment.
  bool assigned_once = false;
  // A revocation whose partitions are held until the listener has released them.
  Task<void> release_task;
  // librdkafka before 2.3.0 aborts the process when it destroys a cooperative-sticky member that
  // has joined its group but not yet received an assignment (its issue 4312): true while
  // destroying the client now would do that.
  bool destroy_would_abort() const;
  // Waits, up to first_assignment_give_up, until destroying the client is safe.
  Awaitable<void> await_safe_destroy();
  // Blocking calls in flight, as the loop sees them (destroy_client waits on it) and as the pool
  // threads see them (release_now, which has no loop to wait on, waits on the count).
  Gate blocking_gate;
  std::atomic<int> blocking_calls{0};

 private:
  void serve_consumer_queue();
  void serve_queue(rd_kafka_queue_t* queue);
  void handle_event_message(MessagePtr message);
  static Awaitable<void> serve_loop(std::shared_ptr<Consumer> self);
  // Waits for the listener to release the revoked partitions (at most half of
  // max.poll.interval.ms, within which the group waits), then gives them back to the client.
  static Awaitable<void> release_then_unassign(std::shared_ptr<Consumer> self, std::vector<TopicPartition> revoked,
                                               PartitionListPtr partitions, bool cooperative);
  std::chrono::milliseconds release_limit() const;
  // Releases every handle that hangs off the client, then hands the client over: destroying it
  // then cannot hang. No blocking call may hold the client any more.
  ClientPtr take_client() noexcept;
  void wait_for_blocking_calls() noexcept;
};

template <class Fn>
auto VeskKafkaFeed::Consumer::blocking(Fn fn) -> Awaitable<std::invoke_result_t<Fn&, rd_kafka_t*>> {
  if (!rk || closing || !blocking_gate.try_enter()) {
    throw KafkaError(RD_KAFKA_RESP_ERR__DESTROY, "Kafka consumer of topic " + topic + " is stopping");
  }
  struct Leave {
    Gate& gate;
    ~Leave() { gate.leave(); }
  } leave{blocking_gate};
  ++blocking_calls;
  // The count drops on the pool thread, right after the client call, so that a synchronous
  // release can wait for it without the loop.
  auto call = [this, fn = std::move(fn), handle = rk.get()]() mutable {
    struct Done {
      std::atomic<int>& count;
      ~Done() {
        if (--count == 0) count.notify_all();
      }
    } done{blocking_calls};
    return fn(handle);
  };
  co_return co_await run_blocking(std::move(call));
}

void VeskKafkaFeed::Consumer::rebalance_trampoline(rd_kafka_t*, rd_kafka_resp_err_t err,
                                                   rd_kafka_topic_partition_list_t* partitions, void* opaque) {
  auto* consumer = static_cast<Consumer*>(opaque);
  // The rebalance itself is carried out inside, whatever else fails.
  guarded(consumer->logger, "Kafka rebalance handling failed", [&] { consumer->on_rebalance(err, partitions); });
}

void VeskKafkaFeed::Consumer::error_trampoline(rd_kafka_t*, int err, const char* reason, void* opaque) {
  auto* consumer = static_cast<Consumer*>(opaque);
  guarded(consumer->logger, "Kafka error handling failed",
          [&] { consumer->on_error(static_cast<rd_kafka_resp_err_t>(err), reason); });
}

void VeskKafkaFeed::Consumer::log_trampoline(const rd_kafka_t* rk, int level, const char* facility, const char* text) {
  // May run on any of the client's threads; the logger is thread-safe and outlives the client.
  auto* consumer = static_cast<Consumer*>(rd_kafka_opaque(rk));
  guarded(consumer->logger, "Kafka log handling failed", [&] { consumer->on_log(level, facility, text); });
}

int VeskKafkaFeed::Consumer::statistics_trampoline(rd_kafka_t*, char* json, std::size_t length, void* opaque) {
  // Served with the consumer queue, on the loop thread.
  auto* consumer = static_cast<Consumer*>(opaque);
  guarded(consumer->logger, "Kafka statistics handling failed", [&] {
    consumer->health->on_statistics(std::string_view(json, length), consumer->topic, std::chrono::steady_clock::now());
  });
  return 0;  // the client frees the text
}

void VeskKafkaFeed::Consumer::commit_trampoline(rd_kafka_t*, rd_kafka_resp_err_t err,
                                                rd_kafka_topic_partition_list_t* offsets, void* opaque) {
  auto* consumer = static_cast<Consumer*>(opaque);
  guarded(consumer->logger, "Kafka commit handling failed", [&] { consumer->on_commit(err, offsets); });
}

void VeskKafkaFeed::Consumer::create(const ClientProperties& properties) {
  kafka::ConfPtr conf(rd_kafka_conf_new());
  char errstr[512];
  for (const auto& [name, value] : properties) {
    if (rd_kafka_conf_set(conf.get(), name.c_str(), value.c_str(), errstr, sizeof errstr) != RD_KAFKA_CONF_OK) {
      throw KafkaError(RD_KAFKA_RESP_ERR__INVALID_ARG, "Kafka client setting " + name + " refused: " + errstr);
    }
  }
  rd_kafka_conf_set_opaque(conf.get(), this);
  rd_kafka_conf_set_rebalance_cb(conf.get(), rebalance_trampoline);
  rd_kafka_conf_set_error_cb(conf.get(), error_trampoline);
  rd_kafka_conf_set_log_cb(conf.get(), log_trampoline);
  rd_kafka_conf_set_stats_cb(conf.get(), statistics_trampoline);
  rd_kafka_conf_set_offset_commit_cb(conf.get(), commit_trampoline);
  // The group is left by close() before the client goes, or not at all (release_now).
  rk = ClientPtr(rd_kafka_new(RD_KAFKA_CONSUMER, conf.get(), errstr, sizeof errstr),
                 kafka::ClientDeleter{RD_KAFKA_DESTROY_F_NO_CONSUMER_CLOSE});
  if (!rk) throw KafkaError(RD_KAFKA_RESP_ERR__FAIL, std::string("Kafka consumer could not be created: ") + errstr);
  conf.release();  // the client owns it now
}

void VeskKafkaFeed::Consumer::subscribe() {
  // Client errors and events then arrive where the loop serves the consumer queue.
  check(rd_kafka_poll_set_consumer(rk.get()), "Kafka consumer setup failed");
  consumer_queue.reset(rd_kafka_queue_get_consumer(rk.get()));
  consumer_wakeup = std::make_unique<Wakeup>(executor);
  consumer_wakeup->watch(consumer_queue.get());

  PartitionListPtr topics(rd_kafka_topic_partition_list_new(1));
  rd_kafka_topic_partition_list_add(topics.get(), topic.c_str(), RD_KAFKA_PARTITION_UA);
  check(rd_kafka_subscribe(rk.get(), topics.get()), "Kafka subscription to " + topic + " failed");

  serve_task = Task<void>::create(serve_loop(shared_from_this()));
}

Awaitable<void> VeskKafkaFeed::Consumer::serve_loop(std::shared_ptr<Consumer> self) {
  while (!self->closing) {
    self->consumer_wakeup->drain();
    self->serve_consumer_queue();
    // Awaited into a variable: g++ 12 miscompiles a co_await inside a condition.
    const auto woke = co_await self->consumer_wakeup->wait(consumer_poll_period);
    if (woke == Wakeup::Result::aborted) co_return;
  }
}

void VeskKafkaFeed::Consumer::serve_consumer_queue() {
  // Rebalance callbacks and client errors run from inside this poll, on the loop thread.
  while (rk && !closing) {
    MessagePtr message(rd_kafka_consumer_poll(rk.get(), 0));
    if (!message) break;
    handle_event_message(std::move(message));
  }
}

void VeskKafkaFeed::Consumer::serve_queue(rd_kafka_queue_t* queue) {
  while (rk) {
    MessagePtr message(rd_kafka_consume_queue(queue, 0));
    if (!message) break;
    handle_event_message(std::move(message));
  }
}

void VeskKafkaFeed::Consumer::handle_event_message(MessagePtr message) {
  if (message->err) {
    logger->warn(std::string("Kafka consumer error: ") + rd_kafka_err2name(message->err) + ": " +
                 rd_kafka_message_errstr(message.get()));
  } else {
    // Every assigned partition is read from its own queue; a record here has no reader.
    logger->warn("Kafka consumer dropped a record of partition " + std::to_string(message->partition) + " at offset " +
                 std::to_string(message->offset) + " that arrived outside its partition queue");
  }
}

void VeskKafkaFeed::Consumer::on_rebalance(rd_kafka_resp_err_t err, rd_kafka_topic_partition_list_t* partitions) {
  const char* protocol = rd_kafka_rebalance_protocol(rk.get());
  const bool cooperative = protocol && std::strcmp(protocol, "COOPERATIVE") == 0;
  auto list = topic_partitions(partitions);

  if (err == RD_KAFKA_RESP_ERR__ASSIGN_PARTITIONS) {
    assigned_once = true;
    // A partition whose queue could not be opened is assigned all the same: the group must hear
    // back, and its reads then fail where they can be seen.
    then_always([&] { open_readers(list); }, [&] { assign_paused(partitions, cooperative); });
    if (!stopping) adapter.on_partitions_assigned(list);
    return;
  }
  if (err == RD_KAFKA_RESP_ERR__REVOKE_PARTITIONS) {
    const bool lost = rd_kafka_assignment_lost(rk.get()) != 0;
    if (lost) {
      std::string names;
      for (const auto& tp : list) names += (names.empty() ? "" : ", ") + std::to_string(tp.partition);
      logger->warn("Kafka partitions " + names + " of " + topic +
                   " were lost with the group session: another member may own them already, so no final checkpoint");
    }
    if (lost || closing || stopping) {
      then_always([&] { adapter.on_partitions_revoked(list); }, [&] { unassign(err, list, partitions, cooperative); });
      return;
    }
    PartitionListPtr held(rd_kafka_topic_partition_list_copy(partitions));
    release_task = Task<void>::create(release_then_unassign(shared_from_this(), list, std::move(held), cooperative));
    return;
  }
  logger->error(std::string("Kafka rebalance error: ") + rd_kafka_err2name(err) + ": " + rd_kafka_err2str(err));
  unassign(err, list, partitions, cooperative);
}

std::chrono::milliseconds VeskKafkaFeed::Consumer::release_limit() const {
  long long interval_ms = 300000;
  char value[64];
  std::size_t size = sizeof value;
  if (rk && rd_kafka_conf_get(rd_kafka_conf(rk.get()), "max.poll.interval.ms", value, &size) == RD_KAFKA_CONF_OK) {
    interval_ms = std::atoll(value);
  }
  return std::chrono::milliseconds(std::max<long long>(interval_ms / 2, 1));
}

Awaitable<void> VeskKafkaFeed::Consumer::release_then_unassign(std::shared_ptr<Consumer> self,
                                                               std::vector<TopicPartition> revoked,
                                                               PartitionListPtr partitions, bool cooperative) {
  const auto limit = self->release_limit();
  auto release = Task<void>::create(self->adapter.release_partitions(revoked));
  const bool ended = co_await wait_for(release, limit);
  if (!ended) {
    release.cancel();
    self->logger->warn("Kafka partitions of " + self->topic + " were not released within " + seconds_text(limit) +
                       " s (half of max.poll.interval.ms); giving them up");
  } else if (release.failed()) {
    self->logger->error("Kafka partition release failed: " + error_text(release.error()));
  }
  if (!self->rk) co_return;
  self->unassign(RD_KAFKA_RESP_ERR__REVOKE_PARTITIONS, revoked, partitions.get(), cooperative);
}

void VeskKafkaFeed::Consumer::open_readers(const std::vector<TopicPartition>& assigned) {
  std::exception_ptr first_failure;
  for (const auto& tp : assigned) {
    try {
      auto& reader = readers[tp.partition];
      if (!reader) {
        // The partition's own queue, taken off the consumer queue and watched before the
        // assignment can put anything in it. The handle stays until the client is released:
        // the client keeps the partition detached after a revoke.
        QueuePtr queue(rd_kafka_queue_get_partition(rk.get(), topic.c_str(), tp.partition));
        if (!queue) {
          throw KafkaError(RD_KAFKA_RESP_ERR__UNKNOWN_PARTITION,
                           "no queue for partition " + std::to_string(tp.partition) + " of " + topic);
        }
        rd_kafka_queue_forward(queue.get(), nullptr);
        reader = std::make_shared<PartitionReader>(tp.partition, std::move(queue), executor);
        reader->wakeup.watch(reader->queue.get());
      }
      reader->assigned = true;
      reader->next_offset.reset();
      reader->committed.reset();
      reader->floor = 0;
      reader->paused = true;
    } catch (...) {
      // No reader is left half made: its partition then reads as not assigned.
      if (auto it = readers.find(tp.partition); it != readers.end() && !it->second) readers.erase(it);
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
}

void VeskKafkaFeed::Consumer::assign_paused(const rd_kafka_topic_partition_list_t* partitions, bool cooperative) {
  // Where a partition's first fetch starts is never the client's choice: without committed
  // offsets it would apply its reset policy, which may jump to the end of the log before the
  // partition consumer's seek to its stored offset lands, and skip the backlog. So every
  // partition starts paused at offset 0 and resumes once that seek is confirmed. Offset 0 and
  // not "beginning": a logical offset sends a lookup, and when the seek overtakes it the client
  // (2.0.2) answers the stale reply by looking up again, and moves the partition back there.
  // Where 0 is no longer held, the client's reset policy (earliest) applies.
  PartitionListPtr start(rd_kafka_topic_partition_list_copy(partitions));
  for (int i = 0; i < start->cnt; ++i) start->elems[i].offset = 0;
  if (cooperative) {
    ErrorPtr error(rd_kafka_incremental_assign(rk.get(), start.get()));
    if (error) logger->error(std::string("Kafka assignment failed: ") + rd_kafka_error_string(error.get()));
  } else if (auto e = rd_kafka_assign(rk.get(), start.get())) {
    logger->error(std::string("Kafka assignment failed: ") + rd_kafka_err2str(e));
  }
  if (auto e = rd_kafka_pause_partitions(rk.get(), start.get())) {
    logger->error(std::string("Kafka pause of assigned partitions failed: ") + rd_kafka_err2str(e));
  }
}

void VeskKafkaFeed::Consumer::unassign(rd_kafka_resp_err_t err, const std::vector<TopicPartition>& revoked,
                                       rd_kafka_topic_partition_list_t* partitions, bool cooperative) {
  for (auto& [partition, reader] : readers) {
    bool gone = err != RD_KAFKA_RESP_ERR__REVOKE_PARTITIONS;
    for (const auto& tp : revoked) gone = gone || tp.partition == partition;
    if (gone) {
      reader->assigned = false;
      reader->next_offset.reset();
    }
  }
  if (cooperative && err == RD_KAFKA_RESP_ERR__REVOKE_PARTITIONS) {
    ErrorPtr error(rd_kafka_incremental_unassign(rk.get(), partitions));
    if (error) logger->error(std::string("Kafka unassignment failed: ") + rd_kafka_error_string(error.get()));
  } else if (auto e = rd_kafka_assign(rk.get(), nullptr)) {
    logger->error(std::string("Kafka unassignment failed: ") + rd_kafka_err2str(e));
  }
}

void VeskKafkaFeed::Consumer::on_error(rd_kafka_resp_err_t err, const char* reason) {
  if (err == RD_KAFKA_RESP_ERR__FATAL && rk) {
    char text[512];
    auto original = rd_kafka_fatal_error(rk.get(), text, sizeof text);
    health->last_error = std::string(rd_kafka_err2name(original)) + ": " + text;
    logger->error("Kafka client fatal error: " + health->last_error);
    return;
  }
  health->last_error = std::string(rd_kafka_err2name(err)) + ": " + (reason ? reason : "");
  if (err == RD_KAFKA_RESP_ERR__AUTHENTICATION) {
    // The reason names the broker ("sasl_ssl://host:port/id: SASL authentication error: ...").
    if (!refusal->refused) {
      refusal->text = "Kafka authentication failed with " + refusal->sasl + ": " + (reason ? reason : "");
      refusal->refused = true;
      logger->error(refusal->text);
    } else {
      logger->debug("Kafka client error: " + health->last_error);
    }
    return;
  }
  if (err == RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN && refusal->refused) {
    // Every broker refused us: the line above says why.
    logger->debug("Kafka client error: " + health->last_error);
    return;
  }
  const auto suffix = log_limiter.admit(std::string("error ") + rd_kafka_err2name(err) + " " +
                                        subject_of(reason ? reason : ""));
  if (!suffix) return;
  // A lost connection is retried by the client on its own; everything else needs a look.
  if (err == RD_KAFKA_RESP_ERR__TRANSPORT) {
    logger->warn("Kafka client error: " + health->last_error + *suffix);
  } else {
    logger->error("Kafka client error: " + health->last_error + *suffix);
  }
}

void VeskKafkaFeed::Consumer::on_log(int level, const char* facility, const char* text) {
  // Without debug contexts the client logs only what users should see (broker failures, offset
  // resets, configuration warnings), so nothing below warning is dropped, only repeats. A refused
  // login reaches the error callback as well, which reports it once.
  const bool refused_login = text && std::strstr(text, "SASL authentication error") != nullptr;
  if (level > 6 || refused_login) {
    logger->debug(std::string("Kafka client ") + (facility ? facility : "") + ": " + (text ? text : ""));
    return;
  }
  const auto suffix = log_limiter.admit("log " + std::to_string(level) + " " + (facility ? facility : "") + " " +
                                        subject_of(text ? text : ""));
  if (!suffix) return;
  std::string line = std::string("Kafka client ") + (facility ? facility : "") + ": " + (text ? text : "") + *suffix;
  if (level <= 3) {
    logger->error(line);
  } else {
    logger->warn(line);
  }
}

void VeskKafkaFeed::Consumer::commit(PartitionId partition, Offset offset) {
  auto it = readers.find(partition);
  if (!rk || closing || it == readers.end() || !it->second->assigned || it->second->committed == offset) return;
  PartitionListPtr list(rd_kafka_topic_partition_list_new(1));
  rd_kafka_topic_partition_list_add(list.get(), topic.c_str(), partition)->offset = offset;
  // Asynchronous: the answer comes to on_commit through the consumer queue.
  if (auto e = rd_kafka_commit(rk.get(), list.get(), 1)) {
    if (auto suffix = log_limiter.admit("commit")) {
      logger->warn("Kafka commit of offset " + std::to_string(offset) + " of partition " + std::to_string(partition) +
                   " of " + topic + " failed: " + rd_kafka_err2str(e) + *suffix);
    }
    return;
  }
  it->second->committed = offset;
}

void VeskKafkaFeed::Consumer::on_commit(rd_kafka_resp_err_t err, const rd_kafka_topic_partition_list_t* offsets) {
  std::string failed;
  for (int i = 0; offsets && i < offsets->cnt; ++i) {
    const auto& element = offsets->elems[i];
    if (!element.err && !err) continue;
    failed += (failed.empty() ? "" : ", ") + std::to_string(element.partition);
    // Tried again with the next checkpoint.
    if (auto it = readers.find(element.partition); it != readers.end()) it->second->committed.reset();
  }
  if (err == RD_KAFKA_RESP_ERR__NO_OFFSET || (failed.empty() && !err)) return;
  if (auto suffix = log_limiter.admit("commit")) {
    logger->warn("Kafka commit of stored offsets failed for partition " + failed + " of " + topic + ": " +
                 rd_kafka_err2name(err ? err : offsets->elems[0].err) + *suffix);
  }
}

Awaitable<void> VeskKafkaFeed::Consumer::await_cluster(const std::string& servers, std::chrono::milliseconds timeout) {
  const auto began = std::chrono::steady_clock::now();
  const auto deadline = began + timeout;
  rd_kafka_resp_err_t err = RD_KAFKA_RESP_ERR__TIMED_OUT;
  // Asked in short rounds, so that a stop while the cluster is silent (or refuses us) ends the
  // start soon instead of after the whole timeout. Each round is twice the last, up to a limit,
  // so that a slow broker's answer still fits in one.
  auto longest = first_start_round;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    const auto round = std::clamp(left, std::chrono::milliseconds(1), longest);
    longest = std::min(longest * 2, last_start_round);
    auto ask = [round](rd_kafka_t* handle) {
      const rd_kafka_metadata_t* metadata = nullptr;
      auto e = rd_kafka_metadata(handle, 0, nullptr, &metadata, static_cast<int>(round.count()));
      MetadataPtr owned(metadata);
      return e;
    };
    if (closing) throw CancelledError();
    err = co_await blocking(std::move(ask));
    if (closing) throw CancelledError();
    if (!err || std::chrono::steady_clock::now() >= deadline) break;
  }
  std::string what = "Kafka cluster " + servers + " did not answer within " +
                     seconds_text(std::chrono::steady_clock::now() - began) + " s";
  if (err && refusal->refused) what += " (" + refusal->text + ")";
  check(err, what);
}

std::shared_ptr<VeskKafkaFeed::PartitionReader> VeskKafkaFeed::Consumer::reader(PartitionId partition,
                                                                                const char* operation) const {
  auto it = readers.find(partition);
  if (it == readers.end() || !it->second->assigned) {
    throw KafkaError(RD_KAFKA_RESP_ERR__STATE, std::string(operation) + ": partition " + std::to_string(partition) +
                                                   " of " + topic + " is not assigned to this consumer");
  }
  return it->second;
}

namespace {
struct Watermarks {
  rd_kafka_resp_err_t err = RD_KAFKA_RESP_ERR_NO_ERROR;
  std::int64_t low = 0;
  std::int64_t high = 0;
};

// What a broker answers while a partition's leadership settles (a topic just made, a node
// restarting or gone): asked again, the question is answered once a leader serves it.
bool leadership_in_motion(rd_kafka_resp_err_t err) {
  switch (err) {
    case RD_KAFKA_RESP_ERR_NOT_LEADER_FOR_PARTITION:
    case RD_KAFKA_RESP_ERR_LEADER_NOT_AVAILABLE:
    case RD_KAFKA_RESP_ERR_UNKNOWN_TOPIC_OR_PART:
    case RD_KAFKA_RESP_ERR_FENCED_LEADER_EPOCH:
    case RD_KAFKA_RESP_ERR_UNKNOWN_LEADER_EPOCH:
    case RD_KAFKA_RESP_ERR_OFFSET_NOT_AVAILABLE:
    case RD_KAFKA_RESP_ERR_REQUEST_TIMED_OUT:
    case RD_KAFKA_RESP_ERR_NETWORK_EXCEPTION:
    case RD_KAFKA_RESP_ERR__TRANSPORT:
    case RD_KAFKA_RESP_ERR__TIMED_OUT:
    case RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN: return true;
    default: return false;
  }
}

// Resumes the one paused partition of `list`, then seeks it to its offset there, where it already
// stands. The client (2.0.2) wakes its fetcher for a seek but not for a resume, so a partition
// only resumed would wait for the fetcher's next round, up to a second, at every assignment.
// Nothing was fetched while it was paused, so seeking again to the same offset loses nothing;
// and the seek is only the wake-up: refused, it costs that second and no more.
rd_kafka_resp_err_t resume_fetching(rd_kafka_t* handle, rd_kafka_topic_partition_list_t* list) {
  if (auto e = rd_kafka_resume_partitions(handle, list)) return e;
  if (list->elems[0].err) return list->elems[0].err;
  ErrorPtr wake_up(rd_kafka_seek_partitions(handle, list, seek_attempt_ms));
  return RD_KAFKA_RESP_ERR_NO_ERROR;
}
}  // namespace

Awaitable<void> VeskKafkaFeed::Consumer::seek(const std::shared_ptr<PartitionReader>& reader, Offset offset) {
  reader->next_offset.reset();
  const PartitionId partition = reader->partition;
  // An offset outside the partition's log would make the client reset on its own; ours goes to
  // the earliest retained offset, never the end, and says so.
  auto query = [this, partition](rd_kafka_t* handle) {
    Watermarks w;
    w.err = rd_kafka_query_watermark_offsets(handle, topic.c_str(), partition, &w.low, &w.high, watermark_timeout_ms);
    return w;
  };
  const auto give_up = std::chrono::steady_clock::now() + seek_give_up;
  Watermarks marks;
  for (;;) {
    marks = co_await blocking(query);
    if (reader->closed || closing) {
      throw KafkaError(RD_KAFKA_RESP_ERR__DESTROY,
                       "Kafka seek of partition " + std::to_string(partition) + " failed: the consumer is stopping");
    }
    if (!marks.err) break;
    if (!leadership_in_motion(marks.err) || std::chrono::steady_clock::now() > give_up) {
      throw kafka_error(marks.err, "Kafka seek of partition " + std::to_string(partition) + " of " + topic +
                                       " to offset " + std::to_string(offset) + ": its offset range could not be read");
    }
    co_await sleep(leadership_retry_pause);
  }
  if (offset < marks.low || offset > marks.high) {
    logger->warn("Kafka partition " + std::to_string(partition) + " of " + topic + ": offset " +
                 std::to_string(offset) + " is out of range (earliest retained offset " + std::to_string(marks.low) +
                 ", end of log " + std::to_string(marks.high) + "); reading from offset " + std::to_string(marks.low));
    offset = marks.low;
  }
  reader->floor = offset;
  const std::string what = "Kafka seek of partition " + std::to_string(partition) + " of " + topic + " to offset " +
                           std::to_string(offset);
  for (;;) {
    // Waiting for the client's answer tells a refused seek (the partition is not fetching yet)
    // from an accepted one; only an accepted one lets a paused partition fetch.
    auto attempt = [this, partition, offset, resume = reader->paused](rd_kafka_t* handle) {
      PartitionListPtr list(rd_kafka_topic_partition_list_new(1));
      rd_kafka_topic_partition_list_add(list.get(), topic.c_str(), partition)->offset = offset;
      ErrorPtr error(rd_kafka_seek_partitions(handle, list.get(), seek_attempt_ms));
      if (error) return rd_kafka_error_code(error.get());
      if (list->elems[0].err || !resume) return list->elems[0].err;
      return resume_fetching(handle, list.get());
    };
    auto err = co_await blocking(std::move(attempt));
    if (reader->closed || closing)
      throw KafkaError(RD_KAFKA_RESP_ERR__DESTROY, what + " failed: the consumer is stopping");
    if (!reader->assigned) throw KafkaError(RD_KAFKA_RESP_ERR__STATE, what + " failed: the partition was revoked");
    if (!err) break;
    const bool retry = err == RD_KAFKA_RESP_ERR__STATE || err == RD_KAFKA_RESP_ERR__TIMED_OUT ||
                       err == RD_KAFKA_RESP_ERR__PREV_IN_PROGRESS;
    if (!retry || std::chrono::steady_clock::now() > give_up) throw kafka_error(err, what + " failed");
    co_await sleep(seek_retry_pause);
  }
  reader->paused = false;
  reader->next_offset = offset;
}

Awaitable<void> VeskKafkaFeed::Consumer::resume(const std::shared_ptr<PartitionReader>& reader) {
  const PartitionId partition = reader->partition;
  const std::string what = "Kafka resume of partition " + std::to_string(partition) + " of " + topic + " failed";
  // Checked where it happens: the per-partition error as well, which would leave it paused.
  auto call = [this, partition, what](rd_kafka_t* handle) {
    PartitionListPtr list(rd_kafka_topic_partition_list_new(1));
    // Where its assignment put it: it has not fetched since.
    rd_kafka_topic_partition_list_add(list.get(), topic.c_str(), partition)->offset = 0;
    check(resume_fetching(handle, list.get()), what);
  };
  co_await blocking(std::move(call));
  reader->paused = false;
}

std::vector<Message> VeskKafkaFeed::Consumer::read_ready(PartitionReader& reader) {
  auto n = rd_kafka_consume_batch_queue(reader.queue.get(), 0, reader.raw.data(), reader.raw.size());
  if (n < 0)
    throw kafka_error(rd_kafka_last_error(),
                      "Kafka fetch of partition " + std::to_string(reader.partition) + " failed");
  reader.below_floor = false;
  if (n == 0) return {};
  // Owned at once, so that every message goes back to the client whatever happens below.
  std::vector<MessagePtr>& batch = reader.owned;
  batch.clear();
  for (ssize_t i = 0; i < n; ++i) batch.emplace_back(reader.raw[static_cast<std::size_t>(i)]);
  struct Release {
    std::vector<MessagePtr>& batch;
    ~Release() { batch.clear(); }
  } release{batch};

  // A batch handed back by recycle() is filled again: its strings keep their buffers.
  std::vector<Message> out = std::move(reader.spare);
  reader.spare.clear();
  std::size_t count = 0;
  for (const auto& m : batch) {
    if (m->err == RD_KAFKA_RESP_ERR__PARTITION_EOF) continue;
    if (m->err) {
      // What was read before the failure is not handed out: the next seek refetches it.
      reader.next_offset.reset();
      throw KafkaError(m->err, "Kafka fetch of partition " + std::to_string(reader.partition) + " of " + topic +
                                   " failed: " + rd_kafka_err2name(m->err) + ": " + rd_kafka_message_errstr(m.get()));
    }
    if (m->offset < reader.floor) {
      reader.below_floor = true;
      continue;
    }
    if (count == out.size()) out.emplace_back();
    Message& message = out[count++];
    if (m->key) {
      if (!message.key) message.key.emplace();
      message.key->assign(static_cast<const char*>(m->key), m->key_len);
    } else {
      message.key.reset();
    }
    if (m->payload) {
      message.value.assign(static_cast<const char*>(m->payload), m->len);
    } else {
      message.value.clear();
    }
    rd_kafka_timestamp_type_t type;
    message.timestamp = rd_kafka_message_timestamp(m.get(), &type);
    message.offset = m->offset;
  }
  out.resize(count);
  if (!out.empty()) {
    reader.next_offset = out.back().offset + 1;
    reader.below_floor = false;
    reader.floor_seeks = 0;
  }
  return out;
}

Awaitable<void> VeskKafkaFeed::Consumer::close() {
  closing = true;
  // A release in flight ends first (it is bounded): its partitions go back to the client before
  // the client leaves the group.
  if (release_task && !release_task.done()) {
    try {
      co_await release_task.wait();
    } catch (...) {
      if (!release_task.done()) throw;  // stop() itself was cancelled
    }
  }
  serve_task.cancel();
  if (!serve_task.done()) {
    try {
      co_await serve_task.wait();
    } catch (...) {
      if (!serve_task.done()) throw;  // stop() itself was cancelled
    }
  }

  // The client posts the final revoke and its close result to a queue of ours, served here.
  QueuePtr close_queue(rd_kafka_queue_new(rk.get()));
  Wakeup close_wakeup(executor);
  close_wakeup.watch(close_queue.get());
  ErrorPtr error(rd_kafka_consumer_close_queue(rk.get(), close_queue.get()));
  if (error) {
    logger->warn(std::string("Kafka consumer close failed: ") + rd_kafka_error_string(error.get()));
  } else {
    const auto give_up = std::chrono::steady_clock::now() + close_give_up;
    for (;;) {
      close_wakeup.drain();
      serve_queue(close_queue.get());
      if (rd_kafka_consumer_closed(rk.get())) break;
      if (std::chrono::steady_clock::now() > give_up) {
        logger->warn("Kafka consumer of topic " + topic + " did not close within " + seconds_text(close_give_up) +
                     " s; releasing it");
        break;
      }
      co_await close_wakeup.wait(100ms);
    }
  }
  close_wakeup.unwatch();
}

ClientPtr VeskKafkaFeed::Consumer::take_client() noexcept {
  closing = true;
  for (auto& [partition, reader] : readers) reader->close();
  readers.clear();
  if (consumer_wakeup) consumer_wakeup->unwatch();
  consumer_queue.reset();
  if (consumer_wakeup) consumer_wakeup->cancel();
  return std::move(rk);
}

void VeskKafkaFeed::Consumer::wait_for_blocking_calls() noexcept {
  for (int n = blocking_calls.load(); n > 0; n = blocking_calls.load()) blocking_calls.wait(n);
}

bool VeskKafkaFeed::Consumer::destroy_would_abort() const {
  if (!rk || assigned_once || rd_kafka_version() >= 0x020300ff) return false;
  // Named only once the member has joined and its assignor is chosen.
  const char* protocol = rd_kafka_rebalance_protocol(rk.get());
  return protocol != nullptr && std::strcmp(protocol, "COOPERATIVE") == 0;
}

Awaitable<void> VeskKafkaFeed::Consumer::await_safe_destroy() {
  const auto give_up = std::chrono::steady_clock::now() + first_assignment_give_up;
  // The serve loop still runs: the assignment arrives through it.
  while (destroy_would_abort() && std::chrono::steady_clock::now() < give_up) co_await sleep(20ms);
}

Awaitable<void> VeskKafkaFeed::Consumer::destroy_client() {
  closing = true;
  co_await blocking_gate.close();
  if (destroy_would_abort()) {
    // Kept rather than destroyed: the process would end with it.
    logger->warn("Kafka consumer of topic " + topic + " joined its group but never received an assignment within " +
                 seconds_text(first_assignment_give_up) +
                 " s; its client is left in place, since librdkafka before 2.3.0 aborts when it destroys such a "
                 "cooperative-sticky member");
    (void)take_client().release();
    co_return;
  }
  // Destroying joins the client's threads: off the loop.
  auto destroy = [client = take_client()]() mutable { client.reset(); };
  co_await run_blocking(std::move(destroy));
}

void VeskKafkaFeed::Consumer::release_now() noexcept {
  closing = true;
  if (serve_task) serve_task.cancel();
  wait_for_blocking_calls();
  if (destroy_would_abort()) {
    (void)take_client().release();  // see destroy_client()
    return;
  }
  take_client().reset();
}

// ---- the source ----

VeskKafkaFeed::VeskKafkaFeed(std::string kafka_bootstrap_servers, std::string kafka_group_id, std::string kafka_topic,
                             std::string kafka_sasl_mechanism, std::string kafka_security_protocol,
                             std::string kafka_sasl_username, std::string kafka_sasl_password, Logger logger,
                             ExtraProperties extra_properties)
    : VeskFeed(logger),
      kafka_bootstrap_servers(std::move(kafka_bootstrap_servers)),
      kafka_group_id(std::move(kafka_group_id)),
      kafka_topic(std::move(kafka_topic)),
      kafka_sasl_mechanism(std::move(kafka_sasl_mechanism)),
      kafka_security_protocol(std::move(kafka_security_protocol)),
      kafka_sasl_username(std::move(kafka_sasl_username)),
      kafka_sasl_password(std::move(kafka_sasl_password)),
      extra_properties(std::move(extra_properties)) {}

VeskKafkaFeed::~VeskKafkaFeed() {
  if (_consumer) _consumer->release_now();
}

std::unique_ptr<VeskKafkaFeed> VeskKafkaFeed::from_env(Logger logger, ExtraProperties extra_properties) {
  Config config = Config::from_env();
  const std::pair<const char*, const std::string*> required[] = {
      {"KAFKA_BOOTSTRAP_SERVERS", &config.KAFKA_BOOTSTRAP_SERVERS},
      {"KAFKA_GROUP_ID", &config.KAFKA_GROUP_ID},
      {"KAFKA_TOPIC", &config.KAFKA_TOPIC},
  };
  for (const auto& [name, value] : required) {
    if (value->empty()) throw ValueError(std::string(name) + " is empty: the Kafka source needs it");
  }
  return std::make_unique<VeskKafkaFeed>(config.KAFKA_BOOTSTRAP_SERVERS, config.KAFKA_GROUP_ID, config.KAFKA_TOPIC,
                                         config.KAFKA_SASL_MECHANISM, config.KAFKA_SECURITY_PROTOCOL,
                                         config.KAFKA_SASL_USERNAME, config.KAFKA_SASL_PASSWORD, std::move(logger),
                                         std::move(extra_properties));
}

VeskKafkaFeed::ClientProperties VeskKafkaFeed::client_properties() const {
  ClientProperties properties{
      {"bootstrap.servers", kafka_bootstrap_servers},
      {"group.id", kafka_group_id},
      {"sasl.mechanism", kafka_sasl_mechanism.empty() ? "PLAINTEXT" : kafka_sasl_mechanism},
      {"security.protocol", kafka_security_protocol.empty() ? "PLAINTEXT" : kafka_security_protocol},
      {"sasl.username", kafka_sasl_username},
      {"sasl.password", kafka_sasl_password},
      {"enable.auto.commit", "false"},
      // A rebalance then takes away only the partitions that move; the others keep their
      // consumers, workers and states. Extra properties may set an eager strategy instead.
      {"partition.assignment.strategy", "cooperative-sticky"},
      // Only for a position that falls out of the log while reading (retention overtaking a
      // slow partition): then re-read from the earliest retained offset rather than skip to the end.
      {"auto.offset.reset", "earliest"},
      // Each partition is read from its own queue, which the client fills only while it holds
      // fewer messages than this; once over it, the client's fetcher sleeps until something
      // else wakes it, up to a second. At the default 100,000 a fast partition drains its queue
      // long before, and then waits. The byte limit per queue (queued.max.messages.kbytes) stays.
      {"queued.min.messages", "1000000"},
      {"statistics.interval.ms", statistics_interval_ms},
  };
  for (const auto& entry : extra_properties) properties.push_back(entry);
  return properties;
}

std::string VeskKafkaFeed::client_setting(const std::string& name) const {
  if (!_consumer || !_consumer->rk) throw std::logic_error("Kafka source is not running");
  char value[1024];
  std::size_t size = sizeof value;
  if (rd_kafka_conf_get(rd_kafka_conf(_consumer->rk.get()), name.c_str(), value, &size) != RD_KAFKA_CONF_OK) {
    throw KafkaError(RD_KAFKA_RESP_ERR__INVALID_ARG, "Kafka client has no setting " + name);
  }
  return value;
}

Awaitable<void> VeskKafkaFeed::start() {
  if (_consumer) throw std::logic_error("Kafka source for topic " + kafka_topic + " is already started");
  // No temporaries that own memory inside a co_await expression: g++ 12 mishandles them.
  const asio::any_io_executor executor = co_await asio::this_coro::executor;
  if (!_refusal) {
    _refusal = std::make_shared<Refusal>();
    _refusal->sasl = sasl_description();
  }
  if (!_health) _health = std::make_shared<Health>();
  auto statistics = extra_properties.find("statistics.interval.ms");
  _health->started(statistics == extra_properties.end() || statistics->second != "0", std::chrono::steady_clock::now());
  auto consumer = std::make_shared<Consumer>(logger, kafka_topic, _listener, executor, _refusal, _health);
  consumer->create(client_properties());
  // Kept at once, so that stop() releases the client even when the rest of start fails.
  _consumer = consumer;
  consumer->subscribe();
  co_await consumer->await_cluster(kafka_bootstrap_servers, start_timeout);
  _refusal->refused = false;
}

std::string VeskKafkaFeed::sasl_description() const {
  const std::string mechanism = kafka_sasl_mechanism.empty() ? "PLAINTEXT" : kafka_sasl_mechanism;
  return "SASL mechanism " + mechanism + " as user '" + kafka_sasl_username + "'";
}

std::optional<std::string> VeskKafkaFeed::authentication_failure() const {
  if (!_refusal || !_refusal->refused) return std::nullopt;
  return _refusal->text;
}

Awaitable<void> VeskKafkaFeed::stop() {
  if (!_consumer) co_return;
  // From here on the source counts as stopped: seek and get_many fail, a waiting get_many wakes.
  auto consumer = std::move(_consumer);
  consumer->stopping = true;
  co_await consumer->await_safe_destroy();
  co_await consumer->close();
  co_await consumer->destroy_client();
}

Awaitable<void> VeskKafkaFeed::seek(const PartitionState& state) {
  if (!_consumer) throw std::logic_error("Kafka source is not running: seek(" + std::to_string(state.partition) + ")");
  auto consumer = _consumer;
  auto reader = consumer->reader(state.partition, "seek");
  if (reader->next_offset == state.offset) co_return;
  co_await consumer->seek(reader, state.offset);
}

std::optional<std::int64_t> VeskKafkaFeed::high_watermark(PartitionId partition) const {
  if (!_consumer || !_consumer->rk) return std::nullopt;
  std::int64_t low = 0, high = 0;
  // Reads the client's cache, which every fetch answer refreshes; thread-safe and never blocks.
  if (rd_kafka_get_watermark_offsets(_consumer->rk.get(), kafka_topic.c_str(), partition, &low, &high) !=
          RD_KAFKA_RESP_ERR_NO_ERROR ||
      high < 0) {
    return std::nullopt;
  }
  // A figure the leader has not confirmed lately may be far behind: unknown rather than wrong.
  if (_health && !_health->watermark_fresh(partition, unhealthy_after, std::chrono::steady_clock::now())) {
    return std::nullopt;
  }
  return high;
}

std::optional<SourceHealth> VeskKafkaFeed::health() const {
  if (!_consumer || !_health || !_health->enabled) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  const Health& h = *_health;
  SourceHealth out;
  out.group_member = h.member;
  if (h.broker_contact)
    out.seconds_since_broker_contact = std::chrono::duration<double>(now - *h.broker_contact).count();
  const auto silent = now - h.broker_contact.value_or(h.first_start);
  if (silent > unhealthy_after) {
    out.problems.push_back("no Kafka broker reachable for " + whole_seconds(silent) + " s: " +
                           (!h.last_error.empty() ? h.last_error
                            : h.broker_contact    ? "connections stay open but nothing comes back"
                                                  : "no broker has answered yet"));
  }
  const auto outside = now - h.member_at.value_or(h.first_start);
  if (!h.member && outside > unhealthy_after) {
    out.problems.push_back("not a member of consumer group " + kafka_group_id + " for " + whole_seconds(outside) +
                           " s (" + h.group_state + ")");
  }
  return out;
}

void VeskKafkaFeed::checkpoint_stored(PartitionId partition, Offset offset) {
  if (commit_stored_offsets && _consumer) _consumer->commit(partition, offset);
}

void VeskKafkaFeed::recycle(PartitionId partition, std::vector<Message>&& batch) {
  if (!_consumer) return;
  auto it = _consumer->readers.find(partition);
  if (it != _consumer->readers.end() && it->second->spare.capacity() < batch.capacity())
    it->second->spare = std::move(batch);
}

Awaitable<std::vector<Message>> VeskKafkaFeed::get_many(PartitionId partition) {
  if (!_consumer) throw std::logic_error("Kafka source is not running: get_many(" + std::to_string(partition) + ")");
  auto consumer = _consumer;
  auto reader = consumer->reader(partition, "get_many");
  if (reader->reading) {
    throw std::logic_error("get_many: partition " + std::to_string(partition) + " is already being read");
  }
  reader->reading = true;
  struct Reading {
    PartitionReader& reader;
    ~Reading() { reader.reading = false; }
  } reading{*reader};

  if (reader->paused) co_await consumer->resume(reader);
  for (;;) {
    if (reader->closed)
      throw KafkaError(RD_KAFKA_RESP_ERR__DESTROY,
                       "get_many: the Kafka source stopped while reading partition " + std::to_string(partition));
    // Drained before reading, so that anything arriving after the read wakes the wait below.
    reader->wakeup.drain();
    auto batch = consumer->read_ready(*reader);
    if (!batch.empty()) co_return batch;
    if (reader->below_floor) {
      // The client went back before the seek's offset on its own (see the assignment): seek
      // there again rather than read up to it, and in any case read on at once.
      if (reader->floor_seeks < max_floor_seeks) {
        ++reader->floor_seeks;
        logger->debug("Kafka partition " + std::to_string(partition) + " of " + kafka_topic +
                      ": the client read below offset " + std::to_string(reader->floor) + "; seeking there again");
        co_await consumer->seek(reader, reader->floor);
      }
      continue;
    }
    const auto woke = co_await reader->wakeup.wait(fetch_wait);
    if (woke == Wakeup::Result::aborted && !reader->closed) {
      throw CancelledError();
    }
  }
}

}  // namespace vesk

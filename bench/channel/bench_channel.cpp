// One batch cycle over a real worker channel: 1,000 messages (100-byte values, 1,000 keys) to one
// KeyCounter worker process and its "drained" back, timed from the start of the send to the
// reply.

#include "spawned_worker.hpp"
#include "vesk/channel/channel.hpp"
#include "vesk/channel/worker_protocol.hpp"
#include "vesk/loop/event_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int warmup_cycles = 200;
constexpr int measured_cycles = 3000;

vesk::Awaitable<std::vector<double>> measure() {
  vesk::ChannelListener listener;
  auto accepted = listener.accept();
  vesk::testing::SpawnedWorker worker(
      VESK_WORKER_PROGRAM, {listener.host(), std::to_string(listener.port()), "examples.counting.KeyCounter"},
      VESK_HANDLER_DIR, {"VESK_WORKER_SECRET=" + listener.secret()});
  auto conn = co_await accepted.wait();
  co_await conn->send_with([](std::string& out) { vesk::worker_protocol::StateHandOver::encode(out, vesk::Dict{}); });

  std::vector<vesk::Message> batch;
  batch.reserve(1000);
  for (int i = 0; i < 1000; ++i) {
    batch.push_back(vesk::Message{"key-" + std::to_string(i), std::string(100, static_cast<char>('a' + i % 26)),
                                  1700000000000 + i, i});
  }

  std::vector<double> micros;
  micros.reserve(measured_cycles);
  for (int cycle = 0; cycle < warmup_cycles + measured_cycles; ++cycle) {
    const auto start = std::chrono::steady_clock::now();
    co_await conn->send_batch(batch);
    const vesk::Value reply = co_await conn->receive();
    const auto end = std::chrono::steady_clock::now();
    if (!vesk::worker_protocol::Drained::is(reply)) throw std::runtime_error("unexpected reply " + reply.repr());
    if (cycle >= warmup_cycles) micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  co_return micros;
}

}  // namespace

int main() {
  vesk::EventLoop loop(1);
  std::vector<double> micros = loop.run_until_complete(measure());
  std::sort(micros.begin(), micros.end());
  const double median = micros[micros.size() / 2];
  const double p99 = micros[micros.size() * 99 / 100];
  std::printf("channel.cycle_median_us: %.0f (goal < 250)\n", median);
  std::printf("channel.cycle_p99_us: %.0f\n", p99);
  return 0;
}

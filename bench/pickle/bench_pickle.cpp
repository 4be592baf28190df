// Times our pickle codec against CPython's on two state maps, built the same way on both sides:
// 1,000,000 keys with int states, and 100,000 keys whose states are small dicts.
#include "vesk/pickle/pickle.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

using vesk::Dict;
using vesk::Value;

namespace {

constexpr int min_runs = 7;
// Runs go on for this long at least, on both sides, so that a burst of load on this shared
// machine cannot spoil every run of a fast operation.
constexpr std::chrono::milliseconds min_span{1000};

const char* python_script = R"(
import pickle, time, sys
def best(fn, runs=5, span=1.0):
    # The result is freed after the clock stops: only the operation itself is timed. Runs go on
    # for a second at least, so that a burst of load on the machine cannot spoil all of them.
    t = []
    start = time.perf_counter()
    while len(t) < runs or time.perf_counter() - start < span:
        s = time.perf_counter(); r = fn(); t.append(time.perf_counter() - s); del r
    return min(t) * 1000
a = {'key-%d' % i: i for i in range(1000000)}
b = {'key-%d' % i: {'count': i, 'sum': i * 1.5, 'last': 'v%d' % (i % 100)} for i in range(100000)}
for name, d in (('1m_int', a), ('100k_dicts', b)):
    data = pickle.dumps(d, protocol=4)
    print('encode_%s %.3f' % (name, best(lambda: pickle.dumps(d, protocol=4))))
    print('decode_%s %.3f' % (name, best(lambda: pickle.loads(data))))
)";

// Built as a decoder must build them: sizes unknown up front, keys checked for duplicates.
Value int_map() {
  Dict d;
  for (std::int64_t i = 0; i < 1000000; ++i) d.set("key-" + std::to_string(i), i);
  return d;
}

Value dict_map() {
  Dict d;
  for (std::int64_t i = 0; i < 100000; ++i) {
    Dict s;
    s.set("count", i);
    s.set("sum", static_cast<double>(i) * 1.5);
    s.set("last", "v" + std::to_string(i % 100));
    d.set("key-" + std::to_string(i), std::move(s));
  }
  return d;
}

// The best of at least min_runs runs of fn, spread over min_span at least; what fn returns is destroyed
// after the clock stops, so that only the operation itself is timed, as on the Python side.
template <class Fn>
double best_ms(Fn fn) {
  double best = 1e300;
  const auto began = std::chrono::steady_clock::now();
  for (int r = 0; r < min_runs || std::chrono::steady_clock::now() - began < min_span; ++r) {
    auto start = std::chrono::steady_clock::now();
    auto result = fn();
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::map<std::string, double> python_times() {
  std::map<std::string, double> out;
  auto script = std::filesystem::temp_directory_path() / ("bench_pickle_" + std::to_string(::getpid()) + ".py");
  std::ofstream(script) << python_script;
  FILE* pipe = popen(("python3 " + script.string()).c_str(), "r");
  if (pipe) {
    char line[256];
    while (fgets(line, sizeof line, pipe)) {
      std::istringstream in(line);
      std::string name;
      double ms;
      if (in >> name >> ms) out[name] = ms;
    }
    pclose(pipe);
  }
  std::filesystem::remove(script);
  return out;
}

}  // namespace

int main() {
  struct Subject {
    const char* name;
    Value value;
    Value (*build)();
  };
  Subject subjects[] = {{"1m_int", int_map(), int_map}, {"100k_dicts", dict_map(), dict_map}};
  std::map<std::string, double> ours;
  std::map<std::string, double> floor;
  for (auto& s : subjects) {
    // What building the same map costs with no pickle at all: the least a decoder can take.
    floor[s.name] = best_ms([&] { return s.build(); });
    ours[std::string("encode_") + s.name] = best_ms([&] { return vesk::pickle::dumps(s.value); });
    const std::string data = vesk::pickle::dumps(s.value);
    ours[std::string("decode_") + s.name] = best_ms([&] { return vesk::pickle::loads(data); });
    const Value back = vesk::pickle::loads(data);
    if (!(back == s.value)) {
      std::cerr << "bench_pickle: " << s.name << " did not decode to the value it was built from\n";
      return 1;
    }
    std::printf("pickle.%s.bytes: %zu\n", s.name, data.size());
  }
  auto python = python_times();
  for (const char* op : {"encode", "decode"}) {
    for (const char* name : {"1m_int", "100k_dicts"}) {
      std::string key = std::string(op) + "_" + name;
      std::printf("pickle.%s.ours_ms: %.1f\n", key.c_str(), ours[key]);
      if (std::string(op) == "decode") {
        std::printf("pickle.%s.value_build_floor_ms: %.1f\n", key.c_str(), floor[name]);
      }
      if (python.count(key)) {
        std::printf("pickle.%s.python_ms: %.1f\n", key.c_str(), python[key]);
        std::printf("pickle.%s.speedup: %.1fx (goal >= 5x)\n", key.c_str(), python[key] / ours[key]);
      } else {
        std::printf("pickle.%s.python_ms: unavailable (python3 did not run)\n", key.c_str());
      }
    }
  }
  return 0;
}

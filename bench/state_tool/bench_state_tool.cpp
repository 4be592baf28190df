// vesk-state dump and write of a 1,000,000-key state file, each timed as a whole program run.
// Prints "state_tool.<figure>: <seconds> (goal < 3)".
#include "vesk/models/partition_state.hpp"
#include "vesk/pickle/pickle.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

// Runs a shell command and returns its wall time in seconds; exits when it fails.
double timed(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (status != 0) {
    std::fprintf(stderr, "bench_state_tool: '%s' failed with status %d\n", command.c_str(), status);
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main() {
  constexpr int keys = 1'000'000;
  auto dir = std::filesystem::temp_directory_path() / ("vesk-bench-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  // Half the keys hold counters, half small records, as handlers keep them.
  vesk::PartitionState state;
  state.partition = 0;
  state.offset = 12'345'678;
  state.state.reserve(keys);
  for (int i = 0; i < keys; ++i) {
    std::string key = "key-" + std::to_string(i);
    if (i % 2 == 0) {
      state.state.append_unique(vesk::Value(std::move(key)), vesk::Value(i));
    } else {
      vesk::Dict record{{vesk::Value("count"), vesk::Value(i)}, {vesk::Value("sum"), vesk::Value(i * 0.5)}};
      state.state.append_unique(vesk::Value(std::move(key)), vesk::Value(std::move(record)));
    }
  }
  {
    std::ofstream out(dir / "p-0.state.pkl", std::ios::binary);
    out << vesk::pickle::dumps(std::move(state).to_dict());
  }
  const std::string tool = VESK_STATE_PROGRAM;
  const std::string d = dir.string();
  double best_dump = 1e9, best_write = 1e9;
  for (int run = 0; run < 3; ++run) {
    best_dump = std::min(best_dump, timed(tool + " dump --state-dir " + d + " --partition 0 > " + d + "/state.json"));
    best_write = std::min(best_write, timed(tool + " write " + d + "/p-1.state.pkl < " + d + "/state.json"));
  }
  std::printf("state_tool.dump_1m_keys_s: %.2f (goal < 3)\n", best_dump);
  std::printf("state_tool.write_1m_keys_s: %.2f (goal < 3)\n", best_write);
  std::filesystem::remove_all(dir);
  return 0;
}

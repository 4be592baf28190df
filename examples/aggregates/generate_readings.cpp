// generate-readings KEYS READINGS [SEED]: prints READINGS lines "sensor-<k><TAB>{"value": v, "at": t}"
// spread over KEYS sensors, for vesk-run --produce-lines. The same seed prints the same lines.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: generate-readings KEYS READINGS [SEED]\n");
    return 2;
  }
  const long keys = std::strtol(argv[1], nullptr, 10);
  const long readings = std::strtol(argv[2], nullptr, 10);
  if (keys < 1 || readings < 0) {
    std::fprintf(stderr, "generate-readings: KEYS must be at least 1 and READINGS at least 0\n");
    return 2;
  }
  std::mt19937_64 random(argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1);
  std::uniform_int_distribution<long> sensor(0, keys - 1);
  std::normal_distribution<double> noise(0.0, 2.5);
  long long at = 1'700'000'000;
  for (long i = 0; i < readings; ++i) {
    const long k = sensor(random);
    // Each sensor reads around its own level; values have two decimals.
    const double value = std::round((15.0 + static_cast<double>(k % 10) + noise(random)) * 100.0) / 100.0;
    at += 1 + static_cast<long long>(random() % 3);
    std::printf("sensor-%ld\t{\"value\": %.2f, \"at\": %lld}\n", k, value, at);
  }
  return 0;
}

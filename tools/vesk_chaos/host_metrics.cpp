#include "host_metrics.hpp"

#include <httplib.h>

#include <algorithm>
#include <sstream>

namespace vesk::chaos {

std::map<int, std::uint64_t> processed_per_partition(const std::string& exposition) {
  static const std::string prefix = "vesk_messages_processed_total{partition=\"";
  std::map<int, std::uint64_t> counts;
  std::istringstream in(exposition);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with(prefix)) continue;
    const auto close = line.find("\"} ", prefix.size());
    if (close == std::string::npos) continue;
    try {
      counts[std::stoi(line.substr(prefix.size(), close - prefix.size()))] = std::stoull(line.substr(close + 3));
    } catch (const std::exception&) {
      // A line cut short by a host that died mid-answer: the next sample has it.
    }
  }
  return counts;
}

std::optional<std::string> fetch_metrics(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(2, 0);
  auto answer = client.Get("/metrics");
  if (!answer || answer->status != 200) return std::nullopt;
  return answer->body;
}

void ProcessedCounts::record(const std::string& process, const std::map<int, std::uint64_t>& counts) {
  for (const auto& [partition, count] : counts) {
    auto& highest = _highest[{process, partition}];
    highest = std::max(highest, count);
  }
}

std::uint64_t ProcessedCounts::total() const {
  std::uint64_t total = 0;
  for (const auto& [host_partition, count] : _highest) total += count;
  return total;
}

}  // namespace vesk::chaos

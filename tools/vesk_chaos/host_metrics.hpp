#pragma once
// What the soak reads from each host's /metrics: the messages its partitions have processed.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vesk::chaos {

// Messages processed per partition, from vesk_messages_processed_total in Prometheus's text.
std::map<int, std::uint64_t> processed_per_partition(const std::string& exposition);

// A host's /metrics on 127.0.0.1:`port`; none when it does not answer within a second or two.
std::optional<std::string> fetch_metrics(int port);

// The highest count seen per host process and partition. A process's counters only grow (a
// partition that leaves and comes back continues its count), so the highest is the latest; a
// process that is killed keeps what was last seen of it.
class ProcessedCounts {
 public:
  // `process` names one run of a host, e.g. its log file.
  void record(const std::string& process, const std::map<int, std::uint64_t>& counts);
  std::uint64_t total() const;

 private:
  std::map<std::pair<std::string, int>, std::uint64_t> _highest;
};

}  // namespace vesk::chaos

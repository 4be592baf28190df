#pragma once
// What the soak reads from the hosts' logs (spdlog's default "[date time.ms] [name] [level] text"
// lines): when each partition stored a checkpoint, and excerpts to show when a check fails.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vesk::chaos {

struct LogSummary {
  std::size_t files = 0;
  std::size_t error_lines = 0;
  std::map<int, std::vector<std::int64_t>> checkpoints;  // partition → times of "Checkpoint done", ms since the epoch

  // The first checkpoint of `partition` stored after `after_ms`; none when there is none.
  std::optional<std::int64_t> next_checkpoint(int partition, std::int64_t after_ms) const;
};

LogSummary read_host_logs(const std::vector<std::string>& paths);

// The error and warning lines of all `paths` (the last `problems` of them) and the last `tail`
// lines of the newest one.
std::vector<std::string> log_excerpt(const std::vector<std::string>& paths, std::size_t tail, std::size_t problems);

// Milliseconds since the epoch of a line's "[YYYY-mm-dd HH:MM:SS.mmm]" stamp, read as local time.
std::optional<std::int64_t> line_time_ms(const std::string& line);

}  // namespace vesk::chaos

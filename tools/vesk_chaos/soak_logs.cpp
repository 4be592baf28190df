#include "soak_logs.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>

namespace vesk::chaos {

std::optional<std::int64_t> LogSummary::next_checkpoint(int partition, std::int64_t after_ms) const {
  auto it = checkpoints.find(partition);
  if (it == checkpoints.end()) return std::nullopt;
  auto next = std::upper_bound(it->second.begin(), it->second.end(), after_ms);
  if (next == it->second.end()) return std::nullopt;
  return *next;
}

std::optional<std::int64_t> line_time_ms(const std::string& line) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(line.c_str(), "[%d-%d-%d %d:%d:%d.%d]", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                  &tm.tm_sec, &ms) != 7) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * 1000 + ms;
}

namespace {

// The number after `marker` when `line` holds it, followed by `tail`.
std::optional<std::int64_t> number_after(const std::string& line, const std::string& marker, const std::string& tail) {
  const auto at = line.find(marker);
  if (at == std::string::npos) return std::nullopt;
  std::size_t used = 0;
  try {
    const long long n = std::stoll(line.substr(at + marker.size()), &used);
    if (line.compare(at + marker.size() + used, tail.size(), tail) != 0) return std::nullopt;
    return n;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool is_problem(const std::string& line) {
  return line.find("] [error] ") != std::string::npos || line.find("] [warning] ") != std::string::npos;
}

}  // namespace

LogSummary read_host_logs(const std::vector<std::string>& paths) {
  LogSummary summary;
  for (const auto& path : paths) {
    std::ifstream in(path);
    if (!in) continue;
    ++summary.files;
    std::string line;
    while (std::getline(in, line)) {
      if (auto p = number_after(line, "] [p", "] Checkpoint done")) {
        if (auto t = line_time_ms(line)) summary.checkpoints[static_cast<int>(*p)].push_back(*t);
      } else if (line.find("] [error] ") != std::string::npos) {
        ++summary.error_lines;
      }
    }
  }
  for (auto& [partition, times] : summary.checkpoints) std::sort(times.begin(), times.end());
  return summary;
}

std::vector<std::string> log_excerpt(const std::vector<std::string>& paths, std::size_t tail, std::size_t problems) {
  std::deque<std::string> problem_lines, last_lines;
  for (const auto& path : paths) {
    std::ifstream in(path);
    std::string line;
    last_lines.clear();
    while (std::getline(in, line)) {
      if (is_problem(line)) {
        problem_lines.push_back(path.substr(path.rfind('/') + 1) + ": " + line);
        if (problem_lines.size() > problems) problem_lines.pop_front();
      }
      last_lines.push_back(line);
      if (last_lines.size() > tail) last_lines.pop_front();
    }
  }
  std::vector<std::string> out;
  if (!problem_lines.empty()) out.push_back("last error and warning lines:");
  out.insert(out.end(), problem_lines.begin(), problem_lines.end());
  if (!paths.empty()) out.push_back("last lines of " + paths.back() + ":");
  out.insert(out.end(), last_lines.begin(), last_lines.end());
  return out;
}

}  // namespace vesk::chaos

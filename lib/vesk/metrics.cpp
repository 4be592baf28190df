#include "vesk/metrics.hpp"

#include <algorithm>
#include <numeric>

namespace vesk {

void CycleHistogram::observe(double seconds) noexcept {
  const auto bucket = std::lower_bound(batch_cycle_bucket_bounds.begin(), batch_cycle_bucket_bounds.end(), seconds);
  ++counts[static_cast<std::size_t>(bucket - batch_cycle_bucket_bounds.begin())];
  sum_seconds += seconds;
}

std::uint64_t CycleHistogram::count() const noexcept {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

}  // namespace vesk

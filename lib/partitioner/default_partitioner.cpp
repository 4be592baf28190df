#include "vesk/partitioner/default_partitioner.hpp"

#include "vesk/errors/errors.hpp"

namespace vesk {

std::int32_t murmur2(std::string_view data) noexcept {
  // Unsigned arithmetic gives Java's wrapping int multiplication and >>> shifts.
  constexpr std::uint32_t seed = 0x9747b28cu;
  constexpr std::uint32_t m = 0x5bd1e995u;
  constexpr int r = 24;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t length = data.size();
  std::uint32_t h = seed ^ static_cast<std::uint32_t>(length);
  const std::size_t length4 = length / 4;
  for (std::size_t i = 0; i < length4; ++i) {
    const std::size_t i4 = i * 4;
    std::uint32_t k = static_cast<std::uint32_t>(bytes[i4]) | (static_cast<std::uint32_t>(bytes[i4 + 1]) << 8) |
                      (static_cast<std::uint32_t>(bytes[i4 + 2]) << 16) |
                      (static_cast<std::uint32_t>(bytes[i4 + 3]) << 24);
    k *= m;
    k ^= k >> r;
    k *= m;
    h *= m;
    h ^= k;
  }
  const std::size_t tail = length & ~static_cast<std::size_t>(3);
  switch (length % 4) {
    case 3: h ^= static_cast<std::uint32_t>(bytes[tail + 2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<std::uint32_t>(bytes[tail + 1]) << 8; [[fallthrough]];
    case 1:
      h ^= static_cast<std::uint32_t>(bytes[tail]);
      h *= m;
      break;
    default: break;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return static_cast<std::int32_t>(h);
}

DefaultPartitioner::DefaultPartitioner(std::vector<int> indices) : _indices(std::move(indices)) {
  if (_indices.empty()) throw ValueError("DefaultPartitioner needs at least one index");
}

}  // namespace vesk

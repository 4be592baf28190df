#pragma once
// Maps key bytes to one of a fixed sequence of worker indices, the way the Kafka Java client's
// default partitioner maps keys to partitions, so that users can predict where a key goes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Kafka's murmur2 (seed 0x9747b28c) of `data`, as a signed 32-bit value like Java's int.
std::int32_t murmur2(std::string_view data) noexcept;

class DefaultPartitioner {
 public:
  // `indices` is the sequence results are drawn from; it must not be empty.
  explicit DefaultPartitioner(std::vector<int> indices);

  // indices[(murmur2(key) & 0x7fffffff) % size]; a message without a key goes to the first index.
  int operator()(std::string_view key) const noexcept { return _indices[position(key, _indices.size())]; }
  int operator()(const std::optional<std::string>& key) const noexcept {
    return key ? (*this)(std::string_view(*key)) : _indices.front();
  }

  // The position within a sequence of `count` indices that `key` maps to.
  static std::size_t position(std::string_view key, std::size_t count) noexcept {
    return static_cast<std::size_t>(static_cast<std::uint32_t>(murmur2(key)) & 0x7fffffffu) % count;
  }

  const std::vector<int>& indices() const noexcept { return _indices; }

 private:
  std::vector<int> _indices;
};

}  // namespace vesk

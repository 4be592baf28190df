#pragma once
// Internals shared by the pickle decoders, beside the format's public building blocks.

#include "vesk/pickle/pickle_format.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk::pickle::detail {

// The double of BINFLOAT: eight bytes, big-endian.
inline double get_binfloat(const unsigned char* p) noexcept {
  std::uint64_t bits = 0;
  for (int k = 0; k < 8; ++k) bits = (bits << 8) | p[k];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// How many entries to make room for after the first batch of `batch_entries` entries, spread
// over `batch_bytes` bytes, of a dict that was empty, with `bytes_left` bytes of input to come:
// a big first batch usually means more batches of the same kind follow. Bounded by the input, so
// no input can make a reader reserve out of proportion; 0 when the batch says nothing.
inline std::size_t dict_size_guess(std::size_t batch_entries, std::size_t batch_bytes,
                                   std::size_t bytes_left) noexcept {
  if (batch_entries < 64 || batch_bytes == 0) return 0;
  std::size_t per_entry = batch_bytes / batch_entries;
  if (per_entry < 2) per_entry = 2;
  return batch_entries + bytes_left / per_entry;
}

}  // namespace vesk::pickle::detail

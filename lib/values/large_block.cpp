#include "vesk/values/large_block.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace vesk::detail {

namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes) { return (bytes + huge_page_bytes - 1) & ~(huge_page_bytes - 1); }

}  // namespace

void* allocate_large_block(std::size_t bytes) {
  std::size_t size = round_up(bytes);
  // Map one huge page more than needed and trim, so the block starts on a huge-page boundary.
  std::size_t mapped = size + huge_page_bytes;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  auto aligned = (start + huge_page_bytes - 1) & ~(std::uintptr_t{huge_page_bytes} - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  std::size_t tail = (start + mapped) - (aligned + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Only advice: without huge pages the block still works, page by page.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void free_large_block(void* p, std::size_t bytes) noexcept {
  if (p) ::munmap(p, round_up(bytes));
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
  if (bytes < large_block_threshold) return;
  auto start = reinterpret_cast<std::uintptr_t>(p);
  auto first = (start + huge_page_bytes - 1) & ~(std::uintptr_t{huge_page_bytes} - 1);
  auto last = (start + bytes) & ~(std::uintptr_t{huge_page_bytes} - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace vesk::detail

#pragma once
// An allocator for the big arrays of large containers (a dict of a million keys holds 80 MB of
// entries). Blocks of a few megabytes and more are mapped directly and backed by transparent
// huge pages where the kernel offers them, so filling them takes one page fault per 2 MB instead
// of one per 4 KB: on virtual machines those faults cost more than the decoding itself. Smaller
// blocks come from the ordinary heap.

#include <cstddef>
#include <new>

namespace vesk::detail {

inline constexpr std::size_t large_block_threshold = std::size_t{4} << 20;

void* allocate_large_block(std::size_t bytes);
void free_large_block(void* p, std::size_t bytes) noexcept;
// Asks for huge pages under the whole 2 MB pages inside [p, p + bytes), for large buffers that
// other allocators hand out (an output string about to be filled). Only advice.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

template <class T>
struct LargeBlockAllocator {
  using value_type = T;

  LargeBlockAllocator() noexcept = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    std::size_t bytes = n * sizeof(T);
    if (bytes < large_block_threshold) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(allocate_large_block(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    std::size_t bytes = n * sizeof(T);
    if (bytes < large_block_threshold) {
      ::operator delete(p);
    } else {
      free_large_block(p, bytes);
    }
  }

  template <class U>
  bool operator==(const LargeBlockAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vesk::detail

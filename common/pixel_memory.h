#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <type_traits>

namespace tavrin {

// A pixel buffer of `bytes`, released with std::free; null when the memory
// cannot be had. Buffers of 128 KiB and more ask for huge pages where the
// system offers them: faulting in fresh memory 4 KiB at a time costs about
// as much as reading the file, and a fresh 1 MiB buffer costs a sixteenth
// as much in one huge page as in 256 small ones. Such buffers are rounded
// up to whole huge pages (at most 2 MiB more). The hint changes no byte.
uint8_t *allocate_pixels(size_t bytes);

struct FreePixelMemory {
  void operator()(void *memory) const { std::free(memory); }
};
template <typename T> using PixelArray = std::unique_ptr<T[], FreePixelMemory>;

// `n` values from allocate_pixels, not initialised; null when the memory
// cannot be had.
template <typename T> PixelArray<T> allocate_array(size_t n) {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  if (n > SIZE_MAX / sizeof(T)) return nullptr;
  return PixelArray<T>(reinterpret_cast<T *>(allocate_pixels(n * sizeof(T))));
}

// allocate_pixels as a memory resource: throws std::bad_alloc when the
// memory cannot be had.
std::pmr::memory_resource &pixel_memory_resource();

// Scratch memory for the vectors of one search, handed out in order from
// blocks of pixel_memory_resource and given back all at once: a call in a
// fresh process then pays one page fault per 2 MiB of its work vectors
// instead of one per 4 KiB. Freed vectors are not reused, so it is for work
// whose vectors add up to a few bytes per pixel at most.
class WorkArena final : public std::pmr::monotonic_buffer_resource {
public:
  // The first block fills one huge page, the block's own record included.
  WorkArena() : monotonic_buffer_resource((size_t{2} << 20) - 64, &pixel_memory_resource()) {}
};

} // namespace tavrin

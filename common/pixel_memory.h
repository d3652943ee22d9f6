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

// How many bytes the buffer allocate_pixels(bytes) gives holds: `bytes`, or
// whole huge pages. The part past `bytes` is as much the caller's.
size_t pixel_capacity(size_t bytes);

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

// Scratch memory for the vectors of one call. The first few MiB are handed
// out in order from the spare memory it is given and from blocks of its own
// (whole huge pages from 128 KiB), and given back all at once: a call in a
// fresh process then pays one page fault per 2 MiB of its work vectors
// instead of one per 4 KiB. Of those only the newest allocation is reused
// once freed (vectors that go in the reverse order of their making give all
// back). Past kOwnBytes of blocks, and for any request larger than a block,
// memory comes from malloc one allocation at a time and goes back when
// freed, so a large search holds no more than it would on the heap.
// Throws std::bad_alloc when memory runs out.
class WorkArena final : public std::pmr::memory_resource {
public:
  WorkArena() = default;
  // Starts in `bytes` at `spare`, memory of somebody else's that outlives
  // the arena (the unused end of a picture's buffer, say).
  WorkArena(uint8_t *spare, size_t bytes);
  ~WorkArena() override;
  WorkArena(const WorkArena &) = delete;
  WorkArena &operator=(const WorkArena &) = delete;

  // The most the arena's own blocks add up to.
  static constexpr size_t kOwnBytes = size_t{4} << 20;

private:
  void *do_allocate(size_t bytes, size_t alignment) override;
  void do_deallocate(void *memory, size_t bytes, size_t) override;
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }
  // From next_ on, for the asking; null when it does not fit.
  void *take(size_t bytes, size_t alignment);
  // Whether `memory` lies in the spare memory or a block.
  bool owns(const void *memory) const;

  uint8_t *region_ = nullptr, *next_ = nullptr, *end_ = nullptr; // the one handed out from
  uint8_t *spare_ = nullptr;
  size_t spare_bytes_ = 0;
  void *blocks_ = nullptr; // the newest block; each starts with the one before
  size_t own_bytes_ = 0;   // of all blocks
  size_t handed_out_ = 0;  // bytes handed out in order, the spare's included
};

} // namespace tavrin

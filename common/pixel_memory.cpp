#include "pixel_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace tavrin {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kFewestBytes = kHugePage / 16; // below, 4 KiB pages cost less than clearing 2 MiB

bool huge(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  return bytes >= kFewestBytes && bytes <= SIZE_MAX - (kHugePage - 1);
#else
  (void)bytes;
  return false;
#endif
}

} // namespace

size_t pixel_capacity(size_t bytes) { return huge(bytes) ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes; }

uint8_t *allocate_pixels(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes > SIZE_MAX - (kHugePage - 1)) return nullptr;
  if (huge(bytes)) {
    // Whole huge pages: a tail shorter than one would be faulted in 4 KiB at
    // a time, a page per 4 KiB of the last stretch of the picture.
    const size_t rounded = pixel_capacity(bytes);
    void *memory = nullptr;
    if (posix_memalign(&memory, kHugePage, rounded) != 0) return nullptr;
    (void)madvise(memory, rounded, MADV_HUGEPAGE);
    return static_cast<uint8_t *>(memory);
  }
#endif
  return static_cast<uint8_t *>(std::malloc(bytes));
}

WorkArena::~WorkArena() {
  while (blocks_ != nullptr) {
    void *before = *static_cast<void **>(blocks_);
    std::free(blocks_);
    blocks_ = before;
  }
}

void *WorkArena::take(size_t bytes, size_t alignment) {
  if (next_ == nullptr) return nullptr;
  const uintptr_t next = reinterpret_cast<uintptr_t>(next_), end = reinterpret_cast<uintptr_t>(end_);
  const uintptr_t at = (next + (alignment - 1)) & ~static_cast<uintptr_t>(alignment - 1);
  if (at < next || at > end || bytes > end - at) return nullptr;
  next_ = reinterpret_cast<uint8_t *>(at + bytes);
  return reinterpret_cast<void *>(at);
}

void *WorkArena::do_allocate(size_t bytes, size_t alignment) {
  if (void *memory = take(bytes, alignment)) return memory;
  // A block's first bytes hold the block before it; room for the alignment
  // after them.
  constexpr size_t kHeader = alignof(std::max_align_t);
  if (alignment > kHugePage || bytes > SIZE_MAX - kHeader - 2 * kHugePage) throw std::bad_alloc();
  const size_t size = std::max(kHugePage, pixel_capacity(kHeader + (alignment - 1) + bytes));
  uint8_t *block = allocate_pixels(size);
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<void **>(block) = blocks_;
  blocks_ = block;
  next_ = block + kHeader;
  end_ = block + size;
  return take(bytes, alignment);
}

} // namespace tavrin

#include "pixel_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAVRIN_ARENA_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIN_ARENA_POISON 1
#endif
#endif
#if defined(TAVRIN_ARENA_POISON)
#include <sanitizer/asan_interface.h>
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

namespace {

// Under the address sanitizer every byte of the arena that is not handed
// out is poisoned, with a gap after each allocation, so a vector read or
// written past its end is caught as it would be on the heap; so is one used
// after it is freed.
#if defined(TAVRIN_ARENA_POISON)
constexpr size_t kGap = 32;
void poison(void *p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void unpoison(void *p, size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
constexpr size_t kGap = 0;
void poison(void *, size_t) {}
void unpoison(void *, size_t) {}
#endif

struct BlockHeader {
  void *before;
  size_t size;
};
// Allocations in a block start after its header, at malloc's alignment.
constexpr size_t kHeader =
    (sizeof(BlockHeader) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

} // namespace

WorkArena::WorkArena(uint8_t *spare, size_t bytes)
    : region_(spare), next_(spare), end_(spare + bytes), spare_(spare), spare_bytes_(bytes) {
  poison(spare, bytes);
}

WorkArena::~WorkArena() {
  unpoison(spare_, spare_bytes_); // the owner's again
  while (blocks_ != nullptr) {
    const BlockHeader header = *static_cast<BlockHeader *>(blocks_);
    unpoison(blocks_, header.size);
    std::free(blocks_);
    blocks_ = header.before;
  }
}

bool WorkArena::owns(const void *memory) const {
  const auto *p = static_cast<const uint8_t *>(memory);
  if (p >= spare_ && p < spare_ + spare_bytes_) return true;
  for (const void *block = blocks_; block != nullptr; block = static_cast<const BlockHeader *>(block)->before) {
    const auto *b = static_cast<const uint8_t *>(block);
    if (p >= b && p < b + static_cast<const BlockHeader *>(block)->size) return true;
  }
  return false;
}

void *WorkArena::take(size_t bytes, size_t alignment) {
  if (next_ == nullptr) return nullptr;
  if (kGap != 0) alignment = std::max<size_t>(alignment, 8); // whole poisoning granules
  const uintptr_t next = reinterpret_cast<uintptr_t>(next_), end = reinterpret_cast<uintptr_t>(end_);
  const uintptr_t at = (next + (alignment - 1)) & ~static_cast<uintptr_t>(alignment - 1);
  if (at < next || at > end || bytes > end - at || kGap > end - at - bytes) return nullptr;
  next_ = reinterpret_cast<uint8_t *>(at + bytes + kGap);
  handed_out_ += bytes;
  unpoison(reinterpret_cast<void *>(at), bytes);
  return reinterpret_cast<void *>(at);
}

void WorkArena::do_deallocate(void *memory, size_t bytes, size_t) {
  if (!owns(memory)) {
    std::free(memory);
    return;
  }
  poison(memory, bytes);
  // The newest allocation gives its room back.
  auto *p = static_cast<uint8_t *>(memory);
  if (p >= region_ && p + bytes + kGap == next_) next_ = p;
}

void *WorkArena::do_allocate(size_t bytes, size_t alignment) {
  if (void *memory = take(bytes, alignment)) return memory;
  if (alignment > kHugePage || bytes > SIZE_MAX - kHeader - kGap - 2 * kHugePage) throw std::bad_alloc();
  // A block's header, then room for the alignment. Blocks grow with what was
  // handed out: a small picture's work gets a small one.
  const size_t needed = kHeader + (alignment - 1) + bytes + kGap;
  const size_t size = pixel_capacity(std::max(needed, std::clamp(handed_out_, size_t{64} << 10, kHugePage)));
  if (size <= kHugePage && own_bytes_ + size <= kOwnBytes) {
    uint8_t *block = allocate_pixels(size);
    if (block == nullptr) throw std::bad_alloc();
    *reinterpret_cast<BlockHeader *>(block) = BlockHeader{blocks_, size};
    blocks_ = block;
    own_bytes_ += size;
    region_ = next_ = block + kHeader;
    end_ = block + size;
    poison(next_, size - kHeader);
    return take(bytes, alignment);
  }
  // One allocation of its own, given back when freed.
  if (alignment > alignof(std::max_align_t)) throw std::bad_alloc();
  void *memory = std::malloc(std::max<size_t>(bytes, 1));
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

} // namespace tavrin

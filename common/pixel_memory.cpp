#include "pixel_memory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace tavrin {

uint8_t *allocate_pixels(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr size_t kHugePage = size_t{2} << 20;
  constexpr size_t kFewestBytes = kHugePage / 16; // below, 4 KiB pages cost less than clearing 2 MiB
  if (bytes >= kFewestBytes) {
    // Whole huge pages: a tail shorter than one would be faulted in 4 KiB at
    // a time, a page per 4 KiB of the last stretch of the picture.
    if (bytes > SIZE_MAX - (kHugePage - 1)) return nullptr;
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *memory = nullptr;
    if (posix_memalign(&memory, kHugePage, rounded) != 0) return nullptr;
    (void)madvise(memory, rounded, MADV_HUGEPAGE);
    return static_cast<uint8_t *>(memory);
  }
#endif
  return static_cast<uint8_t *>(std::malloc(bytes));
}

namespace {

class PixelMemoryResource final : public std::pmr::memory_resource {
  void *do_allocate(size_t bytes, size_t alignment) override {
    // malloc's alignment, or a huge page's; nothing here asks for more.
    if (alignment > alignof(std::max_align_t)) throw std::bad_alloc();
    void *memory = allocate_pixels(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  void do_deallocate(void *memory, size_t, size_t) override { std::free(memory); }
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }
};

} // namespace

std::pmr::memory_resource &pixel_memory_resource() {
  static PixelMemoryResource resource;
  return resource;
}

} // namespace tavrin

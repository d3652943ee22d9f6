#include "pixel_memory.h"

#include <cstdlib>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace tavrin {

uint8_t *allocate_pixels(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr size_t kHugePage = size_t{2} << 20;
  if (bytes >= kHugePage) {
    void *memory = nullptr;
    if (posix_memalign(&memory, kHugePage, bytes) != 0) return nullptr;
    (void)madvise(memory, bytes, MADV_HUGEPAGE);
    return static_cast<uint8_t *>(memory);
  }
#endif
  return static_cast<uint8_t *>(std::malloc(bytes));
}

} // namespace tavrin

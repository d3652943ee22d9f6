// A "plug-in" that only copies its input to its output: loaded and called
// like the real ones, it is the floor they are measured against.
#include <cstdint>
#include <string>

#include "file_copy.h"
#include "narrow_path.h"

namespace {

int32_t copy(const char16_t *input, const char16_t *output, bool huge_pages) {
  if (input == nullptr || output == nullptr) return 1;
  try {
    const std::string in = tavrin::narrow_path(input), out = tavrin::narrow_path(output);
    return huge_pages ? tavrin::bench::copy_file_huge_pages(in.c_str(), out.c_str())
                      : tavrin::bench::copy_file(in.c_str(), out.c_str());
  } catch (...) {
    return 1;
  }
}

} // namespace

// The floor: a fresh heap buffer (malloc, 4 KiB pages).
extern "C" __attribute__((visibility("default"))) int32_t BenchCopy(const char16_t *input,
                                                                    const char16_t *output) {
  return copy(input, output, false);
}

// The same with the plug-ins' huge-page pixel allocator.
extern "C" __attribute__((visibility("default"))) int32_t BenchCopyHugePages(const char16_t *input,
                                                                             const char16_t *output) {
  return copy(input, output, true);
}

// A "plug-in" that only copies its input to its output: loaded and called
// like the real ones, it is the floor they are measured against.
#include <cstdint>
#include <string>

#include "file_copy.h"
#include "narrow_path.h"

extern "C" __attribute__((visibility("default"))) int32_t BenchCopy(const char16_t *input,
                                                                    const char16_t *output) {
  if (input == nullptr || output == nullptr) return 1;
  try {
    const std::string in = tavrin::narrow_path(input), out = tavrin::narrow_path(output);
    return tavrin::bench::copy_file(in.c_str(), out.c_str());
  } catch (...) {
    return 1;
  }
}

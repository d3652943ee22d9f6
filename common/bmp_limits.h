// Size arithmetic that every bitmap reader and writer needs before it trusts a
// header. Everything is computed in 64 bits so nothing can wrap.
#pragma once

#include <cstdint>

namespace tavrin {

inline constexpr int64_t kBmpHeaderBytes = 54;

// Bytes of one stored row: width pixels of bytes_per_pixel, padded to 4.
inline int64_t bmp_stride(int64_t width, int64_t bytes_per_pixel) {
  return (width * bytes_per_pixel + 3) / 4 * 4;
}

// Whether a 24-bit bottom-up file of this size can carry its own size in the
// header's 32-bit fields (54 + stride * height must not pass INT32_MAX).
inline bool bmp24_file_fits(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0) return false;
  int64_t stride = bmp_stride(width, 3);
  return stride <= (INT32_MAX - kBmpHeaderBytes) / height;
}

} // namespace tavrin

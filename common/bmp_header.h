// The 54-byte header that every plug-in writes in front of its pixels.
#pragma once

#include <cstdint>

#include "bmp_limits.h"
#include "le_bytes.h"

namespace tavrin {

// Fills `header` (54 bytes) for a bottom-up, uncompressed 24-bit picture. The
// file-size field holds the low 32 bits of 54 + stride * height; the fields
// that differ between writers are passed in, every other one is zero.
inline void fill_bmp24_header(uint8_t *header, int32_t width, int32_t height,
                              uint32_t image_size_field, uint32_t pixels_per_metre) {
  const uint64_t file_size =
      static_cast<uint64_t>(bmp_stride(width, 3)) * static_cast<uint32_t>(height) + kBmpHeaderBytes;
  for (int i = 0; i < kBmpHeaderBytes; ++i) header[i] = 0;
  header[0] = 'B';
  header[1] = 'M';
  put_le32(header + 2, static_cast<uint32_t>(file_size));
  put_le32(header + 10, static_cast<uint32_t>(kBmpHeaderBytes));
  put_le32(header + 14, 40);
  put_le32(header + 18, static_cast<uint32_t>(width));
  put_le32(header + 22, static_cast<uint32_t>(height));
  put_le16(header + 26, 1);
  put_le16(header + 28, 24);
  put_le32(header + 34, image_size_field);
  put_le32(header + 38, pixels_per_metre);
  put_le32(header + 42, pixels_per_metre);
}

} // namespace tavrin

// Reading and writing the plug-in's pictures as uncompressed 24-bit bitmaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "overlay_types.h"

namespace tavrin::sunglasses {

// Releases the pixel buffer, then the record. Null is fine.
void free_bmp(BmpImage *image);

struct BmpImageDeleter {
  void operator()(BmpImage *image) const { free_bmp(image); }
};
using BmpImagePtr = std::unique_ptr<BmpImage, BmpImageDeleter>;

// Loads an uncompressed 24-bit bitmap, bottom-up or top-down. On any problem
// prints one line on standard error and returns null; nothing stays allocated.
BmpImagePtr load_bmp(const char *path);

// The end of a loaded picture's buffer past its pixels: allocate_pixels
// gives whole huge pages, the last of them already faulted in by the
// pixels, so scratch work there costs no fresh pages.
struct SpareMemory {
  uint8_t *data = nullptr;
  size_t bytes = 0;
};
SpareMemory spare_memory(const BmpImage &image);

// Writes `image` as a bottom-up 24-bit bitmap with a 54-byte header. Returns
// false, after printing "Cannot write <path>", when the file cannot be opened
// or any byte of it cannot be written.
bool save_bmp(const char *path, const BmpImage &image);

// Zero bytes that end each stored row of `width` pixels.
inline int32_t row_padding(int32_t width) {
  return static_cast<int32_t>((4 - (3 * static_cast<int64_t>(width)) % 4) % 4);
}

} // namespace tavrin::sunglasses

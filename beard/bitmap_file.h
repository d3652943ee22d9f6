// 24-bit bitmap files for the beard: header fields are read one byte at a time,
// and every problem line starts with the path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "overlay_types.h"

namespace tavrin::beard {

// Releases the pixel buffer, then the record; nothing for null.
void free_bmp(BmpImage *image);

struct BmpFree {
  void operator()(BmpImage *image) const { free_bmp(image); }
};
using BmpHandle = std::unique_ptr<BmpImage, BmpFree>;

// Reads an uncompressed 24-bit file; null after any failure, with the reason on
// standard error where there is one. A null path fails like any unopenable file.
// A picture whose saved file would pass the 32-bit size field (4 GiB) is refused.
BmpHandle load_bmp(const char *path);

// Writes the picture bottom-up with a 54-byte header. False, with a line on
// standard error, when the file cannot be opened or any write or close fails.
bool save_bmp(const char *path, const BmpImage &image);

// Field readers on an open stream. Past the end of the file each byte reads as
// -1 and is combined unmasked, so every bit from that byte upward is set.
uint16_t read_u16le(std::FILE *file);
uint32_t read_u32le(std::FILE *file);

} // namespace tavrin::beard

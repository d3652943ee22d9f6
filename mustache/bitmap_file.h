// The mustache plug-in's picture and its 24-bit bitmap files.
#pragma once

#include <cstdint>
#include <memory>

namespace tavrin::mustache {

// Rows top first without padding, three bytes per pixel in the order red,
// green, blue: channel c of pixel (x, y) is at (y * width + x) * 3 + c.
struct RgbImage {
  int32_t width;
  int32_t height;  // always positive in memory
  uint8_t *pixels; // width * height * 3 bytes, owned by the record
};

// Frees the pixels, then the record; does nothing for none.
void free_bmp(RgbImage *image);

struct RgbImageFree {
  void operator()(RgbImage *image) const { free_bmp(image); }
};
using RgbImagePtr = std::unique_ptr<RgbImage, RgbImageFree>;

// A picture of the given size with every byte zero, or none when the size is
// refused or cannot be allocated.
RgbImagePtr new_rgb_image(int32_t width, int32_t height);

// Reads an uncompressed 24-bit bitmap. On failure prints the reason on
// standard error and returns none. A null path fails like any unopenable one.
RgbImagePtr load_bmp(const char *path);

// Writes `image` as a bottom-up 24-bit bitmap. Returns true when every byte
// reached the file; otherwise prints "Cannot write" (except when the row
// buffer cannot be allocated) and returns false.
bool save_bmp(const char *path, const RgbImage &image);

// What a path is printed as, a null one included.
inline const char *printable_path(const char *path) { return path ? path : "(null)"; }

} // namespace tavrin::mustache

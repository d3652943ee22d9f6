// The BMPs the photo path hands to a plug-in and takes back from it:
// uncompressed 24-bit, rows bottom first, as every plug-in reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pixel_memory.h"

namespace tavrin::photo {

// Rows top first, no padding, bytes red, green, blue; borrowed.
struct RgbView {
  const uint8_t *data = nullptr;
  int32_t width = 0, height = 0;
  size_t size() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * 3; }
};

// The same, owned.
struct RgbPixels {
  int32_t width = 0, height = 0;
  std::unique_ptr<uint8_t[]> data;
  size_t size() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * 3; }
  RgbView view() const { return {data.get(), width, height}; }
};

struct BmpSize {
  int64_t width = 0, height = 0;
};

// Width and height from the first bytes of a BMP (at least 26), for the
// size check before the plug-in sees it; nullopt when they are not there.
std::optional<BmpSize> bmp_size(const uint8_t *head, size_t size);

// A 24-bit bottom-up BMP written strip by strip, in any order. Written
// with pwrite, not through a mapping: the file's pages are then filled by
// the write itself instead of one page fault each.
class Bmp24Writer {
public:
  // Writes the header.
  bool open(int fd, int32_t width, int32_t height, std::string &why);
  // Writes `count` rows from the top row `top` on, given as red, green, blue
  // rows `rgb_stride` bytes apart.
  bool write_rows(int32_t top, int32_t count, const uint8_t *rgb, size_t rgb_stride, std::string &why);

private:
  int fd_ = -1;
  int32_t width_ = 0, height_ = 0;
  size_t stride_ = 0;
  PixelArray<uint8_t> strip_;
  size_t strip_rows_ = 0;
};

// Writes `rgb` to `fd` as a 24-bit bottom-up BMP.
bool write_bmp24(int fd, RgbView rgb, std::string &why);

// A 24-bit BMP (bottom-up or top-down, uncompressed) read row by row where
// it lies, as an encoder asks for rows: no second copy of the picture and
// no page faults on a mapping. Every length in the header is checked
// against the file in open().
class Bmp24Rows {
public:
  bool open(int fd, std::string &why);
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // Columns [left, left + columns) of the rows [top, top + count), as
  // top-first red, green, blue rows `rgb_stride` bytes apart. Safe to call
  // from several threads at once. False when the file cannot be read.
  bool read(int32_t top, int32_t count, int32_t left, int32_t columns, uint8_t *rgb, size_t rgb_stride) const;

private:
  int fd_ = -1;
  uint32_t offset_ = 0;
  int32_t width_ = 0, height_ = 0;
  bool bottom_up_ = true;
  size_t stride_ = 0;
};

// Reads the 24-bit BMP in `fd` into `out`.
bool read_bmp24(int fd, RgbPixels &out, std::string &why);

} // namespace tavrin::photo

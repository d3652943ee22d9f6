// The BMPs the photo path hands to a plug-in and takes back from it:
// uncompressed 24-bit, rows bottom first, as every plug-in reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

// A whole file mapped into memory, unmapped on every path.
class FileMapping {
public:
  FileMapping() = default;
  ~FileMapping();
  FileMapping(const FileMapping &) = delete;
  FileMapping &operator=(const FileMapping &) = delete;
  bool map(int fd, size_t size, bool writable);
  uint8_t *data() const { return data_; }
  size_t size() const { return size_; }

private:
  uint8_t *data_ = nullptr;
  size_t size_ = 0;
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
  std::unique_ptr<uint8_t[]> strip_;
  size_t strip_rows_ = 0;
};

// Writes `rgb` to `fd` as a 24-bit bottom-up BMP.
bool write_bmp24(int fd, RgbView rgb, std::string &why);

// Reads the 24-bit BMP in `fd` (bottom-up or top-down, uncompressed) into
// `out`. Every length in the header is checked against the file first.
bool read_bmp24(int fd, RgbPixels &out, std::string &why);

// The plug-in's BMP in `fd`, which nobody else reads any more, turned into
// top-first RGB rows where it lies: no second copy of the picture, and the
// rows are turned by two threads where there are two cores. `view` points
// into `mapping`.
bool bmp24_to_rgb_in_place(int fd, FileMapping &mapping, RgbView &view, std::string &why);

} // namespace tavrin::photo

// The BMPs the photo path hands to a plug-in and takes back from it:
// uncompressed 24-bit, rows bottom first, as every plug-in reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tavrin::photo {

// Rows top first, no padding, bytes red, green, blue.
struct RgbPixels {
  int32_t width = 0, height = 0;
  std::unique_ptr<uint8_t[]> data;
  size_t size() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * 3; }
};

struct BmpSize {
  int64_t width = 0, height = 0;
};

// Width and height from the first bytes of a BMP (at least 26), for the
// size check before the plug-in sees it; nullopt when they are not there.
std::optional<BmpSize> bmp_size(const uint8_t *head, size_t size);

// Writes `rgb` (rows top first) to `fd` as a 24-bit bottom-up BMP, sizing
// the file first. False, with the reason, on failure.
bool write_bmp24(int fd, const uint8_t *rgb, int32_t width, int32_t height, std::string &why);

// Reads the 24-bit BMP in `fd` (bottom-up or top-down, uncompressed) into
// `out`. Every length in the header is checked against the file first.
bool read_bmp24(int fd, RgbPixels &out, std::string &why);

} // namespace tavrin::photo

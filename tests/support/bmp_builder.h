// Bitmap files for tests, written independently of any plug-in's code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrin::test {

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb &) const = default;
};

// A picture in memory: rows top first, pixels as (red, green, blue).
struct TestPicture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<Rgb> pixels;

  Rgb &at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
  const Rgb &at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  bool operator==(const TestPicture &) const = default;
};

TestPicture make_picture(int32_t width, int32_t height, Rgb fill);
TestPicture make_picture(int32_t width, int32_t height,
                         const std::function<Rgb(int x, int y)> &colour);

struct BmpOptions {
  bool top_down = false;          // negative height, rows top first
  uint16_t bits = 24;             // 24 or 32 write real pixels; others only the header
  uint32_t compression = 0;
  uint32_t info_header_size = 40; // larger values leave zero bytes before the pixels
  uint8_t padding_byte = 0;       // what fills row padding (readers must ignore it)
};

std::vector<uint8_t> encode_bmp(const TestPicture &picture, const BmpOptions &options = {});

// Parses a bottom-up or top-down 24-bit file. Returns false, with the reason in
// `why`, when the file is not a well-formed 24-bit bitmap of its own header's size.
bool decode_bmp24(const std::vector<uint8_t> &file, TestPicture &picture, std::string *why = nullptr);

// Header fields, read little-endian.
uint32_t field32(const std::vector<uint8_t> &file, size_t offset);
uint16_t field16(const std::vector<uint8_t> &file, size_t offset);

} // namespace tavrin::test

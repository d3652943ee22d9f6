// Test pictures as the beard plug-in holds them in memory.
#pragma once

#include <vector>

#include "bmp_builder.h"
#include "overlay_types.h"

namespace tavrin::beard::test {

using tavrin::test::Rgb;
using tavrin::test::TestPicture;

// Owns blue-green-red bytes and lends them out as a BmpImage.
struct Canvas {
  explicit Canvas(const TestPicture &p) : width(p.width), height(p.height) {
    for (const Rgb &c : p.pixels) bytes.insert(bytes.end(), {c.b, c.g, c.r});
  }
  BmpImage image() { return BmpImage{width, height, bytes.data()}; }
  TestPicture picture() const {
    TestPicture p = tavrin::test::make_picture(width, height, Rgb{0, 0, 0});
    for (size_t i = 0; i < p.pixels.size(); ++i)
      p.pixels[i] = Rgb{bytes[3 * i + 2], bytes[3 * i + 1], bytes[3 * i]};
    return p;
  }

  int32_t width, height;
  std::vector<uint8_t> bytes;
};

inline constexpr Rgb kSkin{200, 140, 110};
inline constexpr Rgb kWall{60, 80, 140};

} // namespace tavrin::beard::test

// Pictures for the mustache tests, built pixel by pixel.
#pragma once

#include <functional>

#include "bitmap_file.h"
#include "bmp_builder.h"

namespace tavrin::mustache::test {

using tavrin::test::Rgb;

inline constexpr Rgb kSkin{220, 160, 120};
inline constexpr Rgb kBackdrop{40, 60, 150}; // blue: never skin
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kBlack{0, 0, 0};

// An RgbImage whose pixel (x, y) is colour(x, y).
inline RgbImagePtr make_image(int32_t width, int32_t height,
                              const std::function<Rgb(int x, int y)> &colour) {
  RgbImagePtr image = new_rgb_image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      uint8_t *p = image->pixels + (static_cast<size_t>(y) * width + x) * 3;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  return image;
}

inline Rgb pixel_at(const RgbImage &image, int x, int y) {
  const uint8_t *p = image.pixels + (static_cast<size_t>(y) * image.width + x) * 3;
  return Rgb{p[0], p[1], p[2]};
}

// Skin inside the rectangle [x0, x1) x [y0, y1), backdrop elsewhere.
inline std::function<Rgb(int, int)> skin_rect(int x0, int y0, int x1, int y1) {
  return [=](int x, int y) { return x >= x0 && x < x1 && y >= y0 && y < y1 ? kSkin : kBackdrop; };
}

} // namespace tavrin::mustache::test

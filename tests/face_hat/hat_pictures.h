// Moves test pictures in and out of the plug-in's red-green-blue buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "bmp_builder.h"

namespace tavrin::test {

inline std::vector<uint8_t> to_rgb_buffer(const TestPicture &picture) {
  std::vector<uint8_t> buffer;
  buffer.reserve(picture.pixels.size() * 3);
  for (const Rgb &c : picture.pixels) buffer.insert(buffer.end(), {c.r, c.g, c.b});
  return buffer;
}

inline TestPicture from_rgb_buffer(const uint8_t *buffer, int32_t width, int32_t height) {
  TestPicture picture = make_picture(width, height, Rgb{0, 0, 0});
  for (size_t i = 0; i < picture.pixels.size(); ++i)
    picture.pixels[i] = Rgb{buffer[3 * i], buffer[3 * i + 1], buffer[3 * i + 2]};
  return picture;
}

inline constexpr Rgb kSkin{220, 170, 140};
inline constexpr Rgb kBlueGrey{30, 60, 200};

} // namespace tavrin::test

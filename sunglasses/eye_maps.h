// The grey and eye-map values of a pixel that eye windows are scored on. The
// search loops live in eye_pair_search and eye_detection.
#pragma once

#include <cstdint>

namespace tavrin::sunglasses {

// Luma and chroma eye-map values of one pixel. Inline: the eye search
// computes them for every pixel of the face band.
inline uint8_t gray_value(uint8_t blue, uint8_t green, uint8_t red) {
  return static_cast<uint8_t>(static_cast<int>((0.114 * blue + 0.587 * green) + 0.299 * red));
}

inline uint8_t eye_map_value(uint8_t blue, uint8_t green, uint8_t red) {
  const double b = blue, g = green, r = red;
  auto clamp_byte_range = [](double v) { return v < 0 ? 0 : (v > 255 ? 255 : v); };
  const double cb = clamp_byte_range((0.5 * b - (0.331 * g + 0.169 * r)) + 128);
  const double cr = clamp_byte_range(((0.5 * r - 0.419 * g) - 0.081 * b) + 128);
  double v = (((255 - cr) * (255 - cr)) * (cb * cb)) * (1.0 / 65025.0) * (1.0 / 255.0);
  if (v > 255) v = 255;
  return static_cast<uint8_t>(static_cast<int>(v));
}

// gray_value and eye_map_value of `n` pixels (blue, green, red), sixteen at
// a time where the processor allows (two per double vector), with the same
// operations.
void gray_and_eye_values(const uint8_t *pixels, int32_t n, uint8_t *gray, uint8_t *eye);

} // namespace tavrin::sunglasses

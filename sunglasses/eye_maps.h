// Per-pixel maps and summed-area tables that eye windows are scored on, and
// the score of one window. The search loops live in eye_detection.
#pragma once

#include <cstdint>
#include <memory>

#include "overlay_types.h"

namespace tavrin::sunglasses {

// One byte per pixel, row-major, row 0 at the top.
using ByteMap = std::unique_ptr<uint8_t[]>;

// Summed-area table: element (x, y) holds the sum over columns 0..x of rows
// 0..y. 64-bit, so sums of large bright pictures stay exact.
using SumTable = std::unique_ptr<int64_t[]>;

// Each maker returns null when memory runs out.
ByteMap make_gray_map(const BmpImage &image);
ByteMap make_eye_map(const BmpImage &image);
SumTable build_integral(const uint8_t *map, int32_t width, int32_t height);
SumTable build_square_integral(const uint8_t *map, int32_t width, int32_t height);

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

// gray_value and eye_map_value of `n` pixels (blue, green, red), two at a
// time where the processor allows, with the same operations.
void gray_and_eye_values(const uint8_t *pixels, int32_t n, uint8_t *gray, uint8_t *eye);

// Sum over the inclusive window [x0, x1] x [y0, y1] of a table whose rows are
// `row_length` elements long.
int64_t rect_sum(const int64_t *table, int32_t row_length, int32_t x0, int32_t y0, int32_t x1,
                 int32_t y1);

double window_variance(const int64_t *gray, const int64_t *gray_square, int32_t row_length,
                       int32_t x0, int32_t y0, int32_t x1, int32_t y1);

// Darkness, texture and eye-map response of one window; lower is more eye-like.
double window_score(const int64_t *gray, const int64_t *gray_square, const int64_t *eye,
                    int32_t row_length, int32_t x0, int32_t y0, int32_t x1, int32_t y1);

} // namespace tavrin::sunglasses

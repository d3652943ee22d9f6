#include "whole_picture_tables.h"

#include <cmath>
#include <cstddef>
#include <new>

#include "eye_maps.h"

namespace tavrin::sunglasses {

namespace {

size_t pixel_count(int32_t width, int32_t height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height);
}

template <typename Value>
ByteMap make_map(const BmpImage &image, Value value) {
  const size_t n = pixel_count(image.width, image.height);
  ByteMap map(new (std::nothrow) uint8_t[n]);
  if (!map) return nullptr;
  const uint8_t *px = image.pixels;
  for (size_t i = 0; i < n; ++i, px += 3) map[i] = value(px[0], px[1], px[2]);
  return map;
}

template <typename Term>
SumTable build_table(const uint8_t *map, int32_t width, int32_t height, Term term) {
  SumTable table(new (std::nothrow) int64_t[pixel_count(width, height)]);
  if (!table) return nullptr;
  for (int32_t y = 0; y < height; ++y) {
    const size_t row = static_cast<size_t>(y) * width;
    const int64_t *above = y > 0 ? table.get() + row - width : nullptr;
    int64_t running = 0;
    for (int32_t x = 0; x < width; ++x) {
      running += term(map[row + x]);
      table[row + x] = running + (above ? above[x] : 0);
    }
  }
  return table;
}

} // namespace

ByteMap make_gray_map(const BmpImage &image) { return make_map(image, gray_value); }

ByteMap make_eye_map(const BmpImage &image) { return make_map(image, eye_map_value); }

SumTable build_integral(const uint8_t *map, int32_t width, int32_t height) {
  return build_table(map, width, height, [](uint8_t v) { return int64_t{v}; });
}

SumTable build_square_integral(const uint8_t *map, int32_t width, int32_t height) {
  return build_table(map, width, height, [](uint8_t v) { return int64_t{v} * v; });
}

int64_t rect_sum(const int64_t *table, int32_t row_length, int32_t x0, int32_t y0, int32_t x1,
                 int32_t y1) {
  auto at = [&](int32_t x, int32_t y) {
    return table[static_cast<ptrdiff_t>(y) * row_length + x];
  };
  int64_t sum = at(x1, y1);
  if (x0 > 0) sum -= at(x0 - 1, y1);
  if (y0 > 0) sum -= at(x1, y0 - 1);
  if (x0 > 0 && y0 > 0) sum += at(x0 - 1, y0 - 1);
  return sum;
}

double window_variance(const int64_t *gray, const int64_t *gray_square, int32_t row_length,
                       int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  const int64_t n = (int64_t{x1} - x0 + 1) * (int64_t{y1} - y0 + 1);
  if (n <= 0) return 0;
  const double mean = static_cast<double>(rect_sum(gray, row_length, x0, y0, x1, y1)) / n;
  const double mean_square =
      static_cast<double>(rect_sum(gray_square, row_length, x0, y0, x1, y1)) / n;
  return mean_square - mean * mean;
}

double window_score(const int64_t *gray, const int64_t *gray_square, const int64_t *eye,
                    int32_t row_length, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  const int64_t n = (int64_t{x1} - x0 + 1) * (int64_t{y1} - y0 + 1);
  if (n <= 0) return 1e30;
  const double s = static_cast<double>(rect_sum(gray, row_length, x0, y0, x1, y1));
  const double v = window_variance(gray, gray_square, row_length, x0, y0, x1, y1);
  const double e = static_cast<double>(rect_sum(eye, row_length, x0, y0, x1, y1));
  // A variance that rounds below zero gives NaN here, as the formula does.
  return (s / n - 1.5 * std::sqrt(v)) - 0.8 * (e / n);
}

} // namespace tavrin::sunglasses

#include "face_projection.h"

#include <cstddef>
#include <memory>
#include <new>

namespace tavrin::beard {

namespace {

constexpr int64_t kMinSkinPixels = 300;
constexpr int32_t kMinBand = 10;

int32_t count_skin(const uint8_t *bgr, int32_t pixels) {
  int32_t n = 0;
  for (int32_t x = 0; x < pixels; ++x, bgr += 3) n += is_skin_rgb(bgr[2], bgr[1], bgr[0]);
  return n;
}

void add_skin_columns(const uint8_t *bgr, int32_t width, int32_t *columns) {
  for (int32_t x = 0; x < width; ++x, bgr += 3) columns[x] += is_skin_rgb(bgr[2], bgr[1], bgr[0]);
}

} // namespace

Run longest_run(const int32_t *counts, int32_t n, int32_t threshold) {
  Run best{0, 0};
  int32_t start = 0;
  bool in_run = false;
  for (int32_t i = 0; i < n; ++i) {
    if (counts[i] < threshold) {
      in_run = false;
      continue;
    }
    if (!in_run) {
      start = i;
      in_run = true;
    }
    if (i - start + 1 > best.length) best = Run{i - start + 1, start};
  }
  return best;
}

bool find_face_rect(const BmpImage &image, FaceRect &face) {
  const int32_t width = image.width, height = image.height;
  if (width <= 0 || height <= 0) return false;
  std::unique_ptr<int32_t[]> rows(new (std::nothrow) int32_t[height]());
  std::unique_ptr<int32_t[]> columns(new (std::nothrow) int32_t[width]());
  if (!rows || !columns) return false;

  const size_t row_bytes = static_cast<size_t>(width) * 3;
  int64_t total = 0; // a whole 65535 x 65535 picture of skin does not fit 32 bits
  for (int32_t y = 0; y < height; ++y) {
    rows[y] = count_skin(image.pixels + static_cast<size_t>(y) * row_bytes, width);
    total += rows[y];
  }
  if (total < kMinSkinPixels) return false;

  const Run band = longest_run(rows.get(), height, width / 10);
  if (band.length < kMinBand) return false;
  for (int32_t y = band.start; y < band.start + band.length; ++y)
    add_skin_columns(image.pixels + static_cast<size_t>(y) * row_bytes, width, columns.get());
  const Run span = longest_run(columns.get(), width, band.length / 8);
  if (span.length < kMinBand) return false;

  face = FaceRect{span.start, band.start, span.length, band.length};
  return true;
}

} // namespace tavrin::beard

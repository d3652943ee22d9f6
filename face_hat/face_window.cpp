#include "face_window.h"

#include <cmath>
#include <new>

#include "pixel_buffer.h"

namespace tavrin::face_hat {

namespace {

constexpr double kStartScore = 0.65;
constexpr double kMinSkinRatio = 0.2;
constexpr int kScales = 8;

double cell(const uint32_t *table, int32_t width, int32_t x, int32_t y) {
  return static_cast<double>(table[static_cast<size_t>(y) * static_cast<size_t>(width) +
                                   static_cast<size_t>(x)]);
}

} // namespace

bool is_skin_ycbcr(uint8_t red, uint8_t green, uint8_t blue) {
  const double r = red, g = green, b = blue;
  // The grouping decides the colours that land exactly on a bound.
  const double y = (0.587 * g + 0.299 * r) + 0.114 * b;
  const double cb = (0.5 * b - (0.33126 * g + 0.16874 * r)) + 128;
  const double cr = ((0.5 * r - 0.41869 * g) - 0.08131 * b) + 128;
  return y > 80 && cb > 77 && cb < 127 && cr > 133 && cr < 173;
}

SkinTable build_skin_integral(const uint8_t *pixels, int32_t width, int32_t height) {
  const size_t w = static_cast<size_t>(width);
  SkinTable table(new (std::nothrow) uint32_t[w * static_cast<size_t>(height)]);
  if (!table) return nullptr;
  // above + (skin pixels of this row up to x) is the same whole number as
  // ((above + left) + s) - diagonal, without reading the previous cells twice.
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t *p = pixels + pixel_offset(width, 0, y);
    uint32_t *out = table.get() + static_cast<size_t>(y) * w;
    const uint32_t *above = y > 0 ? out - w : nullptr;
    uint32_t row_count = 0;
    for (size_t x = 0; x < w; ++x, p += 3) {
      row_count += is_skin_ycbcr(p[0], p[1], p[2]) ? 1u : 0u;
      out[x] = (above != nullptr ? above[x] : 0u) + row_count;
    }
  }
  return table;
}

double rect_sum(const uint32_t *table, int32_t width, int32_t x0, int32_t y0, int32_t x1,
                int32_t y1) {
  if (x1 < x0 || y1 < y0) return 0.0;
  // Every cell is a whole number below 2^53, so each double step is exact and
  // the result equals the integer count; the order is kept all the same.
  double v = cell(table, width, x1, y1);
  if (x0 > 0) v = v - cell(table, width, x0 - 1, y1);
  if (y0 > 0) v = v - cell(table, width, x1, y0 - 1);
  if (x0 > 0 && y0 > 0) v = cell(table, width, x0 - 1, y0 - 1) + v;
  return v;
}

FaceSearch find_face_window(const uint8_t *pixels, int32_t width, int32_t height, FaceRect &face) {
  const int32_t base_w = width >= 80 ? 40 : width / 2;
  const int32_t base_h = height >= 100 ? 50 : height / 2;
  // An empty base window holds no skin at any scale.
  if (base_w <= 0 || base_h <= 0) return FaceSearch::kNotFound;

  // ww / wh is the same double at every scale (the same exact quotient,
  // rounded once), so the proportion test and its weight hold for the whole
  // picture: a picture that fails it needs no table at all.
  const double aspect = static_cast<double>(base_w) / static_cast<double>(base_h);
  if (!(0.3 <= aspect && aspect <= 1.5)) return FaceSearch::kNotFound;
  const double weight = (0.55 <= aspect && aspect <= 1.15) ? 1.0 : 0.5;

  SkinTable table = build_skin_integral(pixels, width, height);
  if (!table) return FaceSearch::kOutOfMemory;
  const uint32_t *t = table.get();

  double best_score = kStartScore;
  FaceRect best{-1, -1, 0, 0};
  for (int s = 0; s < kScales; ++s) {
    const int32_t ww = base_w << s;
    const int32_t wh = base_h << s;
    if (ww > width || wh > height) break;
    const int32_t sx = ww / 8 < 1 ? 1 : ww / 8;
    const int32_t sy = wh / 8 < 1 ? 1 : wh / 8;
    const double inv_area = 1.0 / static_cast<double>(ww * wh);
    const int32_t half = ww / 2;
    for (int32_t y = 0; y + wh <= height; y += sy) {
      const int32_t y1 = y + wh - 1;
      for (int32_t x = 0; x + ww <= width; x += sx) {
        const double ratio = rect_sum(t, width, x, y, x + ww - 1, y1) * inv_area;
        if (!(ratio >= kMinSkinRatio)) continue;
        const double left = rect_sum(t, width, x, y, x + half - 1, y1);
        const double right = rect_sum(t, width, x + half, y, x + ww - 1, y1);
        const double total = right + left;
        const double balance = total < 1 ? 0.0 : 1.0 - std::fabs(left - right) / total;
        const double score = (weight + balance) + ratio;
        if (score > best_score) {
          best_score = score;
          best = FaceRect{x, y, ww, wh};
        }
      }
    }
  }
  if (best.x < 0) return FaceSearch::kNotFound;
  face = best;
  return FaceSearch::kFound;
}

} // namespace tavrin::face_hat

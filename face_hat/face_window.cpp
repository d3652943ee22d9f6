#include "face_window.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "skin_table.h"

namespace tavrin::face_hat {

namespace {

constexpr double kStartScore = 0.65;
constexpr double kMinSkinRatio = 0.2;
constexpr int kScales = 8;

// One scale of the search: windows ww x wh whose top-left corners step by
// (sx, sy) from (0, 0), split into halves of `half` and ww - half columns.
struct Scale {
  int32_t ww, wh, sx, sy, half;
};

// The scales that fit the picture, in search order; returns their number.
int plan_scales(int32_t width, int32_t height, int32_t base_w, int32_t base_h, Scale (&scales)[kScales]) {
  int n = 0;
  for (int s = 0; s < kScales; ++s) {
    const int32_t ww = base_w << s;
    const int32_t wh = base_h << s;
    if (ww > width || wh > height) break;
    scales[n++] = Scale{ww, wh, ww / 8 < 1 ? 1 : ww / 8, wh / 8 < 1 ? 1 : wh / 8, ww / 2};
  }
  return n;
}

// The table columns and rows rect_sum reads for the windows of every scale:
// for a window at (x, y) the columns x - 1, x + half - 1 and x + ww - 1 and
// the rows y - 1 and y + wh - 1, where they lie in the picture.
void mark_corners(const Scale *scales, int n, int32_t width, int32_t height, uint8_t *column, uint8_t *row) {
  std::fill(column, column + width, uint8_t{0});
  std::fill(row, row + height, uint8_t{0});
  for (int s = 0; s < n; ++s) {
    const Scale &c = scales[s];
    for (int32_t x = 0; x + c.ww <= width; x += c.sx) {
      if (x > 0) column[x - 1] = 1;
      if (x + c.half > 0) column[x + c.half - 1] = 1;
      column[x + c.ww - 1] = 1;
    }
    for (int32_t y = 0; y + c.wh <= height; y += c.sy) {
      if (y > 0) row[y - 1] = 1;
      row[y + c.wh - 1] = 1;
    }
  }
}

} // namespace

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

  Scale scales[kScales];
  const int n_scales = plan_scales(width, height, base_w, base_h, scales);
  SkinTable table;
  {
    std::unique_ptr<uint8_t[]> column(new (std::nothrow) uint8_t[static_cast<size_t>(width)]);
    std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[static_cast<size_t>(height)]);
    if (!column || !row) return FaceSearch::kOutOfMemory;
    mark_corners(scales, n_scales, width, height, column.get(), row.get());
    if (!build_skin_table(pixels, width, height, column.get(), row.get(), table)) return FaceSearch::kOutOfMemory;
  }

  double best_score = kStartScore;
  FaceRect best{-1, -1, 0, 0};
  for (int s = 0; s < n_scales; ++s) {
    const Scale &c = scales[s];
    const int32_t ww = c.ww, wh = c.wh, half = c.half;
    const double inv_area = 1.0 / static_cast<double>(ww * wh);
    for (int32_t y = 0; y + wh <= height; y += c.sy) {
      const int32_t y1 = y + wh - 1;
      for (int32_t x = 0; x + ww <= width; x += c.sx) {
        const double ratio = rect_sum(table, x, y, x + ww - 1, y1) * inv_area;
        if (!(ratio >= kMinSkinRatio)) continue;
        const double left = rect_sum(table, x, y, x + half - 1, y1);
        const double right = rect_sum(table, x + half, y, x + ww - 1, y1);
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

#include "plain_eye_search.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "whole_picture_tables.h"

namespace tavrin::sunglasses {

void scan_pass(const ScoreTables &t, const SearchFrame &f, const PassPlan &p, EyePair &best) {
  const int32_t W = t.width, H = t.height;
  const double fw = f.face.width, fh = f.face.height;
  auto score = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    return window_score(t.gray, t.gray_square, t.eye, W, x0, y0, x1, y1);
  };
  for (int32_t w = p.w_first; w <= p.w_last; w += p.w_step) {
    const int32_t h = eye_window_height(w);
    const int32_t s = position_step(p, w);
    const double half = w * 0.5;
    for (int32_t y = p.y_first; y <= p.y_end - h; y += s) {
      for (int32_t x = p.x_first; x <= p.x_end - w; x += s) {
        // Columns left of the picture occur only in the fine pass.
        if (x < 0 || x + w - 1 >= W || y + h - 1 >= H) continue;
        const double left_score = score(x, y, x + w - 1, y + h - 1);
        for (int32_t rx = p.rx_first; rx <= p.rx_end - w; rx += s) {
          for (int32_t dy = f.dy_min; dy <= f.dy_max; dy += s) {
            const int32_t ry = y + dy;
            if (rx + w - 1 >= W || ry + h - 1 >= H || ry < 0) continue;
            const double q = ((rx + half) - (x + half)) / fw;
            if (!(0.25 <= q && q <= 0.6)) continue;
            const double right_score = score(rx, ry, rx + w - 1, ry + h - 1);
            const double total = ((1 + 3.0 * std::abs(dy) / fh) * (1 + 2 * std::fabs(q - 0.4))) *
                                 (right_score + left_score);
            if (total < best.total) {
              best.found = true;
              best.total = total;
              best.left = EyeRecord{x + w / 2, y + h / 2, w / 2, h / 2, left_score};
              best.right = EyeRecord{rx + w / 2, ry + h / 2, w / 2, h / 2, right_score};
            }
          }
        }
      }
    }
  }
}

EyePair search_eye_pair_plain(const ScoreTables &tables, FaceRect face) {
  const SearchFrame frame = search_frame(face);
  EyePair best;
  scan_pass(tables, frame, coarse_pass_plan(frame), best);
  if (!best.found) return best;
  // The best total carries over: the fine pass must beat the coarse winner.
  scan_pass(tables, frame, fine_pass_plan(frame, best.left, best.right), best);
  return best;
}

PixelPosition refine_eye_center_plain(const uint8_t *gray, int32_t width, int32_t height, int32_t cx,
                                      int32_t cy, int32_t radius) {
  const int32_t k = std::max(radius / 3, 2);
  const int64_t side = 2 * int64_t{k} + 1;
  const double area = static_cast<double>(side * side);
  double best_mean = 1e30;
  PixelPosition best{cx, cy};
  for (int32_t y = cy - radius; y <= cy + radius; ++y) {
    if (y < k || y >= height - k) continue;
    for (int32_t x = cx - radius; x <= cx + radius; ++x) {
      if (x < k || x >= width - k) continue;
      int64_t sum = 0;
      for (int32_t py = y - k; py <= y + k; ++py) {
        const uint8_t *row = gray + static_cast<size_t>(py) * width;
        for (int32_t px = x - k; px <= x + k; ++px) sum += row[px];
      }
      const double mean = static_cast<double>(sum) / area;
      if (mean < best_mean) {
        best_mean = mean;
        best = PixelPosition{x, y};
      }
    }
  }
  return best;
}

} // namespace tavrin::sunglasses

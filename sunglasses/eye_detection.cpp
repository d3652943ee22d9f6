#include "eye_detection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "eye_maps.h"
#include "eye_pair_search.h"

namespace tavrin::sunglasses {

namespace {

// A share of `value` in percent, truncated toward zero, without overflow.
int32_t percent(int32_t value, int32_t share) {
  return static_cast<int32_t>(int64_t{value} * share / 100);
}

} // namespace

SearchFrame search_frame(FaceRect face) {
  SearchFrame f;
  f.face = face;
  f.y_top = face.y + percent(face.height, 18);
  f.y_bot = face.y + percent(face.height, 52);
  f.x_mid = face.x + face.width / 2;
  f.min_w = std::max(percent(face.width, 10), 4);
  f.max_w = std::max(percent(face.width, 28), f.min_w + 2);
  f.dy_min = percent(face.height, -8);
  f.dy_max = percent(face.height, 8);
  return f;
}

PassPlan coarse_pass_plan(const SearchFrame &f) {
  PassPlan p;
  p.w_first = f.min_w;
  p.w_last = f.max_w;
  p.w_step = (f.max_w - f.min_w) / 6 + 1;
  p.fine = false;
  p.x_first = f.face.x;
  p.x_end = f.x_mid;
  p.rx_first = f.x_mid - f.face.width / 8;
  p.rx_end = f.face.x + f.face.width;
  p.y_first = f.y_top;
  p.y_end = f.y_bot;
  return p;
}

PassPlan fine_pass_plan(const SearchFrame &f, const EyeRecord &left, const EyeRecord &right) {
  const int32_t o = f.face.width / 10;
  PassPlan p;
  p.w_first = std::max(2 * left.half_w - o / 2, 4);
  p.w_last = 2 * left.half_w + o / 2;
  p.w_step = 1;
  p.fine = true;
  p.x_first = left.cx - left.half_w - o;
  p.x_end = left.cx - left.half_w + o;
  p.rx_first = right.cx - right.half_w - o;
  p.rx_end = right.cx - right.half_w + o;
  p.y_first = std::max(f.y_top, left.cy - o);
  p.y_end = std::min(f.y_bot, left.cy + o);
  return p;
}

int32_t eye_window_height(int32_t w) { return std::max(percent(w, 45), 3); }

int32_t position_step(const PassPlan &plan, int32_t w) { return plan.fine ? 1 : std::max(w / 4, 1); }

PixelPosition refine_eye_center(const BmpImage &image, int32_t cx, int32_t cy, int32_t radius) {
  const int32_t width = image.width, height = image.height;
  const int32_t k = std::max(radius / 3, 2);
  const int64_t side = 2 * int64_t{k} + 1;
  const double area = static_cast<double>(side * side);
  // Centres whose patch lies wholly inside the picture.
  const int32_t x_first = static_cast<int32_t>(std::max<int64_t>(int64_t{cx} - radius, k));
  const int32_t x_last = static_cast<int32_t>(std::min<int64_t>(int64_t{cx} + radius, int64_t{width} - k - 1));
  const int32_t y_first = static_cast<int32_t>(std::max<int64_t>(int64_t{cy} - radius, k));
  const int32_t y_last = static_cast<int32_t>(std::min<int64_t>(int64_t{cy} + radius, int64_t{height} - k - 1));
  if (x_first > x_last || y_first > y_last) return PixelPosition{cx, cy};

  // Grey sums over the patches' area, with a zero row and column in front.
  const int32_t x0 = x_first - k, y0 = y_first - k;
  const int32_t cols = x_last + k - x0 + 1, rows = y_last + k - y0 + 1;
  const size_t stride = static_cast<size_t>(cols) + 1;
  std::vector<int64_t> sums(stride * (static_cast<size_t>(rows) + 1), 0);
  for (int32_t r = 0; r < rows; ++r) {
    const uint8_t *px = image.pixels + (static_cast<size_t>(y0 + r) * width + x0) * 3;
    int64_t running = 0;
    for (int32_t c = 0; c < cols; ++c, px += 3) {
      running += gray_value(px[0], px[1], px[2]);
      sums[(r + 1) * stride + c + 1] = sums[r * stride + c + 1] + running;
    }
  }

  double best_mean = 1e30;
  PixelPosition best{cx, cy};
  for (int32_t y = y_first; y <= y_last; ++y) {
    const size_t top = static_cast<size_t>(y - k - y0) * stride, bottom = top + side * stride;
    for (int32_t x = x_first; x <= x_last; ++x) {
      const size_t a = static_cast<size_t>(x - k - x0), b = a + side;
      const int64_t sum = sums[bottom + b] - sums[bottom + a] - sums[top + b] + sums[top + a];
      const double mean = static_cast<double>(sum) / area;
      if (mean < best_mean) {
        best_mean = mean;
        best = PixelPosition{x, y};
      }
    }
  }
  return best;
}

EyeDetection detect_eyes(const BmpImage &image, FaceRect face, EyeRecord *left, EyeRecord *right,
                         std::pmr::memory_resource *memory) {
  try {
    EyePair pair = search_eye_pair(image, face, memory);
    if (!pair.found) return EyeDetection::kNotFound;
    // The left eye's half width sets the search radius of both eyes.
    const int32_t radius = std::max(pair.left.half_w, 3);
    const PixelPosition l = refine_eye_center(image, pair.left.cx, pair.left.cy, radius);
    const PixelPosition r = refine_eye_center(image, pair.right.cx, pair.right.cy, radius);
    pair.left.cx = l.x;
    pair.left.cy = l.y;
    pair.right.cx = r.x;
    pair.right.cy = r.y;
    *left = pair.left;
    *right = pair.right;
    return EyeDetection::kFound;
  } catch (const std::bad_alloc &) {
    return EyeDetection::kOutOfMemory;
  }
}

} // namespace tavrin::sunglasses

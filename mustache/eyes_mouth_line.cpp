#include "eyes_mouth_line.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "console.h"

namespace tavrin::mustache {

EyeSearchPlan plan_eye_search(int32_t w, int32_t t, int32_t height) {
  EyeSearchPlan p;
  const int32_t a = (w * 125) / 100; // expected face height
  p.ew = std::max(w / 5, 5);
  p.eh = std::max(w / 9, 3);
  p.dmin = std::max((w * 35) / 100, p.ew + 2);
  p.dmax = (w * 65) / 100;
  p.y0 = std::max(t + (a * 10) / 100, 0);
  p.y1 = std::min(t + (a * 42) / 100, height - 1);
  return p;
}

bool allocate_eye_window_sums(const RgbImage &image, EyeWindowSums &sums) {
  const size_t width = static_cast<size_t>(image.width);
  sums.columns.reset(static_cast<int64_t *>(std::malloc(width * sizeof(int64_t))));
  sums.totals.reset(static_cast<int64_t *>(std::malloc((width + 1) * sizeof(int64_t))));
  return sums.columns && sums.totals;
}

namespace {

// Adds (sign 1) or removes (sign -1) the brightness of row y, columns
// first .. first + count - 1, to the column sums.
void add_row(const RgbImage &image, int64_t *columns, int32_t y, int32_t first, int32_t count,
             int sign) {
  const uint8_t *p = image.pixels + (static_cast<size_t>(y) * image.width + first) * 3;
  for (int32_t i = 0; i < count; ++i, p += 3) columns[i] += sign * brightness(p[0], p[1], p[2]);
}

} // namespace

void detect_eyes(const RgbImage &image, EyeWindowSums &sums, int32_t c, int32_t t, int32_t w,
                 int32_t *eye_y, int32_t *iod) {
  const EyeSearchPlan p = plan_eye_search(w, t, image.height);
  *eye_y = (p.y0 + p.y1) / 2;
  *iod = (p.dmin + p.dmax) / 2;
  if (p.dmax < p.dmin || p.y0 + p.eh - 1 > p.y1) return;

  // Every window of a pair that fits lies in these columns.
  const int64_t first = std::max<int64_t>(0, int64_t{c} - p.ew / 2 - p.dmax / 2);
  const int64_t last =
      std::min<int64_t>(image.width - 1, int64_t{c} + p.dmax / 2 - p.ew / 2 + p.ew - 1);
  if (last - first + 1 < p.ew) return;
  const int32_t x0 = static_cast<int32_t>(first);
  const int32_t span = static_cast<int32_t>(last - first + 1);

  int64_t *const columns = sums.columns.get();
  int64_t *const totals = sums.totals.get();
  std::fill(columns, columns + span, int64_t{0});
  for (int32_t y = p.y0; y < p.y0 + p.eh; ++y) add_row(image, columns, y, x0, span, 1);

  const int64_t area = int64_t{p.ew} * p.eh;
  int64_t best = INT32_MAX;
  for (int32_t y = p.y0; y + p.eh - 1 <= p.y1; ++y) {
    if (y > p.y0) {
      add_row(image, columns, y - 1, x0, span, -1);
      add_row(image, columns, y + p.eh - 1, x0, span, 1);
    }
    totals[0] = 0;
    for (int32_t i = 0; i < span; ++i) totals[i + 1] = totals[i] + columns[i];

    for (int32_t d = p.dmin; d <= p.dmax; ++d) {
      const int64_t left = int64_t{c} - p.ew / 2 - d / 2;
      const int64_t right = int64_t{c} + d / 2 - p.ew / 2;
      if (left < 0 || right < 0 || left + p.ew - 1 >= image.width ||
          right + p.ew - 1 >= image.width)
        continue;
      const int64_t l = left - first, r = right - first;
      const int64_t sum = totals[l + p.ew] - totals[l] + totals[r + p.ew] - totals[r];
      const int64_t score = sum / area;
      if (score < best) {
        best = score;
        *iod = d;
        *eye_y = y + p.eh / 2;
      }
    }
  }
}

bool detect_face(const RgbImage &image, int32_t *cx, int32_t *mouth_y, int32_t *face_w) {
  int32_t c = 0, t = 0, w = 0;
  if (!find_skin_blob(image, &c, &t, &w)) return false;

  int32_t eye_y = 0, iod = 0;
  {
    EyeWindowSums sums;
    if (!allocate_eye_window_sums(image, sums)) {
      print_error("Out of memory (integral).\n");
      return false;
    }
    detect_eyes(image, sums, c, t, w, &eye_y, &iod);
  }
  const int32_t mouth = eye_y + (iod * 125) / 100;
  std::printf("  Skin blob top  : y=%d  cx=%d  w=%d\n", t, c, w);
  std::printf("  Eyes detected  : y=%d  IOD=%d\n", eye_y, iod);
  std::printf("  Mouth placed   : y=%d\n", mouth);
  *cx = c;
  *mouth_y = mouth;
  *face_w = w;
  return true;
}

} // namespace tavrin::mustache

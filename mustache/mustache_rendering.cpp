#include "mustache_rendering.h"

#include <algorithm>
#include <cmath>

namespace tavrin::mustache {

namespace {

constexpr Rgb kBlack{0, 0, 0};
constexpr int kSamples = 801;

// Largest d with d * d <= n.
int64_t isqrt(int64_t n) {
  int64_t d = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
  while (d * d > n) --d;
  while ((d + 1) * (d + 1) <= n) ++d;
  return d;
}

} // namespace

double cubic_bezier(double p0, double p1, double p2, double p3, double t) {
  const double u = 1.0 - t;
  return ((p0 * u + (p1 * t) * 3) * u + ((p2 * t) * t) * 3) * u + ((p3 * t) * t) * t;
}

void fill_disc(RgbImage &image, int64_t x0, int64_t y0, int32_t radius, Rgb colour) {
  const int64_t r = radius;
  const int64_t top = std::max<int64_t>(y0 - r, 0);
  const int64_t bottom = std::min<int64_t>(y0 + r, int64_t{image.height} - 1);
  for (int64_t y = top; y <= bottom; ++y) {
    // The columns of this row with (x - x0)^2 + (y - y0)^2 <= r^2.
    const int64_t reach = isqrt(r * r - (y - y0) * (y - y0));
    const int64_t left = std::max<int64_t>(x0 - reach, 0);
    const int64_t right = std::min<int64_t>(x0 + reach, int64_t{image.width} - 1);
    for (int64_t x = left; x <= right; ++x)
      put_pixel(image, static_cast<int32_t>(x), static_cast<int32_t>(y), colour);
  }
}

void draw_mustache(RgbImage &image, int32_t cx, int32_t mouth_y, int32_t face_w) {
  const double fw = face_w;
  const double h = fw * 0.28;
  const double p1x = h * 0.4;
  const double p1y = -(fw * 0.055);
  const double p2x = h * 0.85;
  const double p2y = -(fw * 0.065);
  const double p3y = fw * 0.025;
  const int32_t r = std::max(face_w / 35, 2);

  // Neighbouring samples often land on the same pixel; painting is
  // idempotent, so a repeated centre is stamped once.
  int64_t last_dx = 0, last_dy = 0;
  bool stamped = false;
  for (int i = 0; i < kSamples; ++i) {
    const double t = static_cast<double>(i) * 0.00125;
    const double bx = cubic_bezier(0, p1x, p2x, h, t);
    const double by = cubic_bezier(0, p1y, p2y, p3y, t);
    const int64_t dy = pixel_offset(by);
    const int64_t dx = pixel_offset(bx);
    if (stamped && dx == last_dx && dy == last_dy) continue;
    fill_disc(image, int64_t{cx} + dx, int64_t{mouth_y} + dy, r, kBlack);
    fill_disc(image, int64_t{cx} - dx, int64_t{mouth_y} + dy, r, kBlack);
    last_dx = dx;
    last_dy = dy;
    stamped = true;
  }
  fill_disc(image, cx, mouth_y, r + 1, kBlack);
}

} // namespace tavrin::mustache

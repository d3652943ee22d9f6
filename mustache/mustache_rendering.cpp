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

// Columns left .. right of one row, both inside the picture.
struct Span {
  int32_t left, right;
};

// The columns of row y that lie in the disc and in the picture, if any.
bool disc_row(const RgbImage &image, int64_t x0, int64_t y0, int64_t r, int64_t y, Span *span) {
  const int64_t dy = y - y0;
  if (dy < -r || dy > r) return false;
  const int64_t reach = isqrt(r * r - dy * dy);
  const int64_t left = std::max<int64_t>(x0 - reach, 0);
  const int64_t right = std::min<int64_t>(x0 + reach, int64_t{image.width} - 1);
  if (left > right) return false;
  *span = Span{static_cast<int32_t>(left), static_cast<int32_t>(right)};
  return true;
}

void paint(RgbImage &image, int64_t y, Span span, Rgb colour) {
  for (int32_t x = span.left; x <= span.right; ++x)
    put_pixel(image, x, static_cast<int32_t>(y), colour);
}

} // namespace

double cubic_bezier(double p0, double p1, double p2, double p3, double t) {
  const double u = 1.0 - t;
  return ((p0 * u + (p1 * t) * 3) * u + ((p2 * t) * t) * 3) * u + ((p3 * t) * t) * t;
}

void fill_disc(RgbImage &image, int64_t x0, int64_t y0, int32_t radius, Rgb colour) {
  const int64_t top = std::max<int64_t>(y0 - radius, 0);
  const int64_t bottom = std::min<int64_t>(y0 + radius, int64_t{image.height} - 1);
  Span span;
  for (int64_t y = top; y <= bottom; ++y)
    if (disc_row(image, x0, y0, radius, y, &span)) paint(image, y, span, colour);
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

  // Each sample stamps a disc at (cx + dx, mouthY + dy) and its mirror at
  // (cx - dx, mouthY + dy). Neighbouring samples often land on the same
  // pixel; such a repeat adds nothing and is kept once.
  struct Offset {
    int32_t dx, dy;
  };
  Offset samples[kSamples];
  int count = 0;
  for (int i = 0; i < kSamples; ++i) {
    const double t = static_cast<double>(i) * 0.00125;
    const double bx = cubic_bezier(0, p1x, p2x, h, t);
    const double by = cubic_bezier(0, p1y, p2y, p3y, t);
    const Offset o{static_cast<int32_t>(pixel_offset(bx)), static_cast<int32_t>(pixel_offset(by))};
    if (count > 0 && samples[count - 1].dx == o.dx && samples[count - 1].dy == o.dy) continue;
    samples[count++] = o;
  }

  // Every disc paints the same black, so the order of painting does not
  // matter: each row paints the union of its discs' spans once, which keeps
  // the work to the mustache's own pixels however large the brush.
  int64_t top = int64_t{mouth_y} - (r + 1), bottom = int64_t{mouth_y} + (r + 1);
  for (int k = 0; k < count; ++k) {
    top = std::min(top, int64_t{mouth_y} + samples[k].dy - r);
    bottom = std::max(bottom, int64_t{mouth_y} + samples[k].dy + r);
  }
  top = std::max<int64_t>(top, 0);
  bottom = std::min<int64_t>(bottom, int64_t{image.height} - 1);

  Span spans[2 * kSamples + 1];
  for (int64_t y = top; y <= bottom; ++y) {
    int n = 0;
    for (int k = 0; k < count; ++k) {
      const int64_t sy = int64_t{mouth_y} + samples[k].dy;
      n += disc_row(image, int64_t{cx} + samples[k].dx, sy, r, y, &spans[n]);
      n += disc_row(image, int64_t{cx} - samples[k].dx, sy, r, y, &spans[n]);
    }
    n += disc_row(image, cx, mouth_y, r + 1, y, &spans[n]);
    if (n == 0) continue;
    std::sort(spans, spans + n, [](Span a, Span b) { return a.left < b.left; });
    Span run = spans[0];
    for (int k = 1; k < n; ++k) {
      if (spans[k].left > run.right + 1) {
        paint(image, y, run, kBlack);
        run = spans[k];
      } else {
        run.right = std::max(run.right, spans[k].right);
      }
    }
    paint(image, y, run, kBlack);
  }
}

} // namespace tavrin::mustache

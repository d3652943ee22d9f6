#include "sunglasses_drawing.h"

#include <algorithm>
#include <cstdlib>

namespace tavrin::sunglasses {

namespace {

// Integer offsets and radii become doubles before dividing, so a zero radius
// yields infinity or NaN, and a NaN test fails as it would in the formula.
double ratio(int64_t offset, int64_t radius) {
  return static_cast<double>(offset) / static_cast<double>(radius);
}

// Columns go in stretches of this many, each stretch's ratios worked out
// once for all its rows: every pixel is blended once per shape, so the order
// does not matter, and no memory is needed.
constexpr int64_t kStretch = 256;

// squares[i] = ratio(x0 + i - centre, radius)^2 for the stretch from x0.
void column_squares(int64_t x0, int64_t n, int64_t centre, int64_t radius, double *squares) {
  for (int64_t i = 0; i < n; ++i) {
    const double h = ratio(x0 + i - centre, radius);
    squares[i] = h * h;
  }
}

void tint_upper_half(BmpImage &image, int cx, int cy, int a, int b) {
  double h2[kStretch];
  for (int64_t x0 = int64_t{cx} - a; x0 <= int64_t{cx} + a; x0 += kStretch) {
    const int64_t n = std::min(kStretch, int64_t{cx} + a - x0 + 1);
    column_squares(x0, n, cx, a, h2);
    for (int64_t y = int64_t{cy} - b; y <= cy; ++y) {
      const int64_t u = y - cy;
      const double s = ratio(u + b, b);
      const double g = (1.0 - s) * 0.15; // 0.15 on the top row, 0 on the centre row
      const double v = ratio(u, b), v2 = v * v;
      for (int64_t i = 0; i < n; ++i)
        if (h2[i] + v2 <= 1.0) blend_pixel(image, static_cast<int>(x0 + i), static_cast<int>(y), 0, 0, 0, g);
    }
  }
}

} // namespace

LensSize lens_size(int32_t face_width, int32_t eye_distance) {
  const int64_t w = face_width, d = eye_distance;
  int64_t a = std::max(w * 18 / 100, d * 40 / 100);
  a = std::min(a, d * 55 / 100); // the upper bound wins
  LensSize size;
  size.a = static_cast<int32_t>(a);
  size.b = static_cast<int32_t>(a * 60 / 100);
  size.t = std::max(size.a / 12, 2);
  return size;
}

void blend_pixel(BmpImage &image, int x, int y, uint8_t red, uint8_t green, uint8_t blue,
                 double alpha) {
  if (x < 0 || x >= image.width || y < 0 || y >= image.height) return;
  uint8_t *p = image.pixels + (static_cast<size_t>(y) * image.width + x) * 3;
  const double k = 1.0 - alpha;
  p[2] = static_cast<uint8_t>(static_cast<int>(p[2] * k + red * alpha));
  p[1] = static_cast<uint8_t>(static_cast<int>(p[1] * k + green * alpha));
  p[0] = static_cast<uint8_t>(static_cast<int>(p[0] * k + blue * alpha));
}

void fill_ellipse_blended(BmpImage &image, int cx, int cy, int rx, int ry, uint8_t red,
                          uint8_t green, uint8_t blue, double alpha) {
  double h2[kStretch];
  for (int64_t x0 = int64_t{cx} - rx; x0 <= int64_t{cx} + rx; x0 += kStretch) {
    const int64_t n = std::min(kStretch, int64_t{cx} + rx - x0 + 1);
    column_squares(x0, n, cx, rx, h2);
    for (int64_t y = int64_t{cy} - ry; y <= int64_t{cy} + ry; ++y) {
      const double v = ratio(y - cy, ry), v2 = v * v;
      for (int64_t i = 0; i < n; ++i)
        if (h2[i] + v2 <= 1.0)
          blend_pixel(image, static_cast<int>(x0 + i), static_cast<int>(y), red, green, blue, alpha);
    }
  }
}

void draw_ellipse_ring(BmpImage &image, int cx, int cy, int rx, int ry, int thickness,
                       uint8_t red, uint8_t green, uint8_t blue, double alpha) {
  const int64_t t = thickness;
  double ox2[kStretch], ix2[kStretch];
  const int64_t x_last = int64_t{cx} + rx + t;
  for (int64_t x0 = int64_t{cx} - rx - t; x0 <= x_last; x0 += kStretch) {
    const int64_t n = std::min(kStretch, x_last - x0 + 1);
    column_squares(x0, n, cx, rx, ox2);
    column_squares(x0, n, cx, int64_t{rx} - t, ix2);
    for (int64_t y = int64_t{cy} - ry - t; y <= int64_t{cy} + ry + t; ++y) {
      const int64_t dy = y - cy;
      const double oy = ratio(dy, ry), iy = ratio(dy, ry - t);
      const double oy2 = oy * oy, iy2 = iy * iy;
      for (int64_t i = 0; i < n; ++i) {
        const double outer = ox2[i] + oy2;
        if (outer > 1.0) continue; // NaN is not above 1.0: such pixels go on
        const double inner = iy2 + ix2[i];
        if (inner >= 1.0)
          blend_pixel(image, static_cast<int>(x0 + i), static_cast<int>(y), red, green, blue, alpha);
      }
    }
  }
}

void draw_thick_line(BmpImage &image, int x0, int y0, int x1, int y1, int thickness,
                     uint8_t red, uint8_t green, uint8_t blue, double alpha) {
  const int64_t dx = int64_t{x1} - x0, dy = int64_t{y1} - y0;
  int64_t n = std::max(std::llabs(dx), std::llabs(dy));
  if (n == 0) n = 1;
  const double xstep = static_cast<double>(dx) / n, ystep = static_cast<double>(dy) / n;
  double x = x0, y = y0;
  const int h = thickness / 2;
  for (int64_t i = 0; i <= n; ++i) {
    const int xi = static_cast<int>(x + 0.5), yi = static_cast<int>(y + 0.5);
    for (int k = -h; k <= h; ++k) {
      blend_pixel(image, xi, yi + k, red, green, blue, alpha);
      blend_pixel(image, xi + k, yi, red, green, blue, alpha);
    }
    x = x + xstep;
    y = y + ystep;
  }
}

void draw_sunglasses(BmpImage &image, EyeRecord left, EyeRecord right, FaceRect face) {
  const int lx = left.cx, ly = left.cy, rx = right.cx, ry = right.cy;
  const LensSize lens = lens_size(face.width, rx - lx);
  const int a = lens.a, b = lens.b, t = lens.t;

  fill_ellipse_blended(image, lx, ly, a, b, 10, 10, 12, 0.78);
  fill_ellipse_blended(image, rx, ry, a, b, 10, 10, 12, 0.78);

  tint_upper_half(image, lx, ly, a, b);
  tint_upper_half(image, rx, ry, a, b);

  draw_ellipse_ring(image, lx, ly, a, b, t, 5, 5, 5, 1.0);
  draw_ellipse_ring(image, rx, ry, a, b, t, 5, 5, 5, 1.0);

  // The bridge leaves each frame's inner edge at eye height and rises a
  // quarter of the lens height in the middle.
  const int mx = (lx + rx) / 2;
  const int my = (ly + ry) / 2 - b / 4;
  draw_thick_line(image, lx + a - t, ly, mx, my, t, 5, 5, 5, 1.0);
  draw_thick_line(image, mx, my, rx - a + t, ry, t, 5, 5, 5, 1.0);

  fill_ellipse_blended(image, lx - a / 3, ly - b / 3, a / 4, b / 3, 220, 220, 240, 0.15);
  fill_ellipse_blended(image, rx - a / 3, ry - b / 3, a / 4, b / 3, 220, 220, 240, 0.15);
}

} // namespace tavrin::sunglasses

#include "beard_rendering.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrin::beard {

namespace {

struct Shade {
  uint8_t blue, green, red;
};
using Palette = std::array<Shade, 64>;

// The colour of every texture value v in 0..63.
constexpr Palette make_palette(int red, int green, int blue) {
  Palette p{};
  for (int v = 0; v < 64; ++v)
    p[v] = Shade{static_cast<uint8_t>(blue + v / 9), static_cast<uint8_t>(green + v / 7),
                 static_cast<uint8_t>(red + v / 5)};
  return p;
}

constexpr Palette kMustacheShades = make_palette(28, 18, 8);
constexpr Palette kBeardShades = make_palette(25, 15, 7);

struct Texture {
  int row_factor, column_factor;
  const Palette &shades;
};
constexpr Texture kMustache{23, 11, kMustacheShades};
constexpr Texture kBeard{31, 17, kBeardShades};

// Largest |dx| <= a inside the ellipse on the row dy, or -1 when the row
// misses it. In floating point (d / a)^2 still never shrinks as d grows, and
// -d / a is exactly -(d / a), so the inside columns form one span symmetric
// around the centre; bisection with the very same test finds its edge.
int half_span(int dy, int a, int b) {
  if (!inside_ellipse(0, dy, a, b)) return -1;
  if (inside_ellipse(a, dy, a, b)) return a;
  int in = 0, out = a;
  while (out - in > 1) {
    const int mid = in + (out - in) / 2;
    (inside_ellipse(mid, dy, a, b) ? in : out) = mid;
  }
  return in;
}

// Paints columns x0..x1 of row y, skipping whatever lies outside the picture.
void paint_span(BmpImage &image, int y, int x0, int x1, const Texture &texture) {
  if (y < 0 || y >= image.height) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, image.width - 1);
  if (x0 > x1) return;
  uint8_t *px = image.pixels + (static_cast<size_t>(y) * image.width + x0) * 3;
  const int row_hash = y * texture.row_factor;
  for (int x = x0; x <= x1; ++x, px += 3) {
    const Shade &s = texture.shades[(row_hash ^ (x * texture.column_factor)) & 63];
    px[0] = s.blue;
    px[1] = s.green;
    px[2] = s.red;
  }
}

} // namespace

bool inside_ellipse(int dx, int dy, int a, int b) {
  const double qx = static_cast<double>(dx) / static_cast<double>(a);
  const double qy = static_cast<double>(dy) / static_cast<double>(b);
  return qx * qx + qy * qy <= 1.0;
}

void draw_beard(BmpImage &image, int fx, int fy, int fw, int fh) {
  const int cx = fx + fw / 2;
  const int top = fy + (fh * 3) / 5;
  const int bottom = fy + fh + fh / 10;
  const int mid_y = (top + bottom) / 2;
  const int ax = std::max((fw * 3) / 10, 1);
  const int ay = std::max(fh / 14 + 1, 1);
  const int bx = std::max((fw * 9) / 20, 1);
  const int by = std::max((bottom - top) / 2 + 1, 1);
  const int gap = fw / 20; // bare strip under the nose

  // Rows outside the picture are skipped whole; columns are clipped per span.
  const int last_row = image.height - 1;

  for (int y = std::max(top - ay, 0); y <= std::min(top + ay, last_row); ++y) {
    const int k = half_span(y - top, ax, ay);
    if (gap == 0) {
      if (k >= 0) paint_span(image, y, cx - k, cx + k, kMustache);
    } else if (k >= gap) {
      paint_span(image, y, cx - k, cx - gap, kMustache);
      paint_span(image, y, cx + gap, cx + k, kMustache);
    }
  }

  // Only the part of the ellipse from the mustache's lower edge down.
  for (int y = std::max(top + ay, 0); y <= std::min(bottom, last_row); ++y) {
    const int k = half_span(y - mid_y, bx, by);
    if (k >= 0) paint_span(image, y, cx - k, cx + k, kBeard);
  }
}

} // namespace tavrin::beard

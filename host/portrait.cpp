#include "portrait.h"

#include <cstddef>

namespace tavrin {

namespace {

constexpr int32_t kWidth = 480;
constexpr int32_t kHeight = 600;

struct Rgb {
  uint8_t r, g, b;
};

void set(Picture &p, int x, int y, Rgb c) {
  if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
  uint8_t *px = p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3;
  px[0] = c.b;
  px[1] = c.g;
  px[2] = c.r;
}

// Inside the axis-aligned ellipse centred on (cx, cy), in integer arithmetic
// so the picture is the same on every machine.
bool in_ellipse(int x, int y, int cx, int cy, int rx, int ry) {
  int64_t dx = x - cx, dy = y - cy;
  return dx * dx * ry * ry + dy * dy * rx * rx <= int64_t{rx} * rx * ry * ry;
}

void fill_ellipse(Picture &p, int cx, int cy, int rx, int ry, Rgb c) {
  for (int y = cy - ry; y <= cy + ry; ++y)
    for (int x = cx - rx; x <= cx + rx; ++x)
      if (in_ellipse(x, y, cx, cy, rx, ry)) set(p, x, y, c);
}

void fill_rect(Picture &p, int x0, int y0, int x1, int y1, Rgb c) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) set(p, x, y, c);
}

} // namespace

Picture make_portrait() {
  Picture p;
  p.width = kWidth;
  p.height = kHeight;
  p.bgr.assign(static_cast<size_t>(kWidth) * kHeight * 3, 0);

  // Cool blue-grey backdrop, lighter towards the top.
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      set(p, x, y, Rgb{static_cast<uint8_t>(70 + y / 20), static_cast<uint8_t>(90 + y / 20), 140});

  const int cx = 240, cy = 270;
  const Rgb skin{224, 172, 140};
  fill_rect(p, 60, 470, 420, kHeight, Rgb{40, 50, 90});   // shirt
  fill_rect(p, 200, 380, 280, 480, Rgb{200, 150, 120});   // neck
  fill_ellipse(p, cx, cy - 40, 118, 120, Rgb{60, 40, 30}); // hair
  fill_ellipse(p, cx, cy, 100, 130, skin);                 // face
  fill_rect(p, cx - 100, cy - 150, cx + 101, cy - 95, Rgb{60, 40, 30}); // fringe

  for (int side : {-1, 1}) {
    int ex = cx + side * 42, ey = cy - 35;
    fill_rect(p, ex - 20, ey - 24, ex + 21, ey - 18, Rgb{110, 75, 55}); // brow
    fill_ellipse(p, ex, ey, 18, 9, Rgb{240, 240, 235});                  // white
    fill_ellipse(p, ex, ey, 8, 8, Rgb{60, 80, 120});                     // iris
    fill_ellipse(p, ex, ey, 4, 4, Rgb{15, 15, 20});                      // pupil
  }
  fill_ellipse(p, cx, cy + 30, 12, 6, Rgb{190, 135, 110}); // nose shadow
  fill_ellipse(p, cx, cy + 70, 34, 8, Rgb{170, 70, 70});   // mouth
  return p;
}

} // namespace tavrin

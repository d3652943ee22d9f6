// The mustache itself: two mirrored cubic Bezier strokes in solid black.
#pragma once

#include <cstdint>

#include "bitmap_file.h"

namespace tavrin::mustache {

struct Rgb {
  uint8_t r, g, b;
};

// Value at t of the cubic Bezier curve with control values p0 .. p3.
double cubic_bezier(double p0, double p1, double p2, double p3, double t);

// A curve offset in whole pixels: add a half, then drop the fraction toward
// zero (so -1.2 becomes 0 and -1.6 becomes -1).
inline int64_t pixel_offset(double offset) { return static_cast<int64_t>(offset + 0.5); }

// Stores `colour` at (x, y), which must lie inside the picture.
inline void put_pixel(RgbImage &image, int32_t x, int32_t y, Rgb colour) {
  uint8_t *p = image.pixels + (static_cast<size_t>(y) * image.width + x) * 3;
  p[0] = colour.r;
  p[1] = colour.g;
  p[2] = colour.b;
}

// Paints every pixel of the picture within `radius` of (x0, y0), the
// boundary included.
void fill_disc(RgbImage &image, int64_t x0, int64_t y0, int32_t radius, Rgb colour);

// Paints the mustache centred on column cx at the mouth row, sized for a face
// face_w pixels wide. Everything outside the picture is cut off.
void draw_mustache(RgbImage &image, int32_t cx, int32_t mouth_y, int32_t face_w);

} // namespace tavrin::mustache

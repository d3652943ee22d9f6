#include "hat_drawing.h"

#include "pixel_buffer.h"

namespace tavrin::face_hat {

namespace {

constexpr HatColour kHatFill{20, 20, 20};
constexpr HatColour kBand{160, 15, 15};
constexpr HatColour kOutline{55, 55, 55};

// No clipping: only fill_rect calls it, with coordinates already clipped.
inline void set_pixel(uint8_t *pixels, int32_t width, int32_t x, int32_t y, HatColour colour) {
  uint8_t *p = pixels + pixel_offset(width, x, y);
  p[0] = colour.red;
  p[1] = colour.green;
  p[2] = colour.blue;
}

// A fraction of a face size, truncated toward zero, raised to `at_least`.
int32_t scaled(int32_t size, double factor, int32_t at_least) {
  const int32_t v = static_cast<int32_t>(size * factor);
  return v < at_least ? at_least : v;
}

} // namespace

void fill_rect(uint8_t *pixels, int32_t width, int32_t height, int32_t x, int32_t y, int32_t w,
               int32_t h, HatColour colour) {
  // 64 bits so that no edge arithmetic can wrap for rectangles far outside.
  int64_t cx = x, cy = y, cw = w, ch = h;
  if (cx < 0) {
    cw += cx;
    cx = 0;
  }
  if (cy < 0) {
    ch += cy;
    cy = 0;
  }
  if (cx + cw > width) cw = width - cx;
  if (cy + ch > height) ch = height - cy;
  if (cw <= 0 || ch <= 0) return;
  for (int64_t row = cy; row < cy + ch; ++row)
    for (int64_t col = cx; col < cx + cw; ++col)
      set_pixel(pixels, width, static_cast<int32_t>(col), static_cast<int32_t>(row), colour);
}

void draw_rect_outline(uint8_t *pixels, int32_t width, int32_t height, int32_t x, int32_t y,
                       int32_t w, int32_t h, int32_t t, HatColour colour) {
  fill_rect(pixels, width, height, x, y, w, t, colour);
  fill_rect(pixels, width, height, x, y + h - t, w, t, colour);
  fill_rect(pixels, width, height, x, y, t, h, colour);
  fill_rect(pixels, width, height, x + w - t, y, t, h, colour);
}

void draw_hat(uint8_t *pixels, int32_t width, int32_t height, int32_t fx, int32_t fy, int32_t fw,
              int32_t fh) {
  const int32_t brim_h = scaled(fh, 0.11, 4);
  const int32_t crown_h = scaled(fh, 0.5, 10);
  const int32_t crown_w = scaled(fw, 0.72, 10);
  const int32_t band_h = scaled(fh, 0.07, 2);
  const int32_t t = fw > 80 ? 3 : 2;
  // The brim's bottom line sits a quarter of the face height below its top.
  const int32_t base = fy - static_cast<int32_t>(fh * -0.25);
  const int32_t crown_x = fx + (fw - crown_w) / 2;
  const int32_t brim_top = base - brim_h;
  const int32_t crown_top = base - brim_h - crown_h;
  const int32_t band_top = base - brim_h - band_h;

  fill_rect(pixels, width, height, crown_x, crown_top, crown_w, crown_h, kHatFill);
  fill_rect(pixels, width, height, crown_x, band_top, crown_w, band_h, kBand);
  fill_rect(pixels, width, height, fx, brim_top, fw, brim_h, kHatFill);
  draw_rect_outline(pixels, width, height, crown_x, crown_top, crown_w, crown_h, t, kOutline);
  draw_rect_outline(pixels, width, height, fx, brim_top, fw, brim_h, t, kOutline);
}

} // namespace tavrin::face_hat

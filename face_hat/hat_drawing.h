// A flat top hat of opaque rectangles standing on the face window.
#pragma once

#include <cstdint>

namespace tavrin::face_hat {

struct HatColour {
  uint8_t red, green, blue;
};

// Paints crown, band, brim and their outlines above the face (fx, fy, fw, fh),
// clipped to the picture.
void draw_hat(uint8_t *pixels, int32_t width, int32_t height, int32_t fx, int32_t fy, int32_t fw,
              int32_t fh);

// Fills (x, y, w, h) clipped to the picture.
void fill_rect(uint8_t *pixels, int32_t width, int32_t height, int32_t x, int32_t y, int32_t w,
               int32_t h, HatColour colour);

// The border of (x, y, w, h), t pixels thick: top, bottom, left, right edges.
void draw_rect_outline(uint8_t *pixels, int32_t width, int32_t height, int32_t x, int32_t y,
                       int32_t w, int32_t h, int32_t t, HatColour colour);

} // namespace tavrin::face_hat

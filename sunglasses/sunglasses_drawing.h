// Painting the sunglasses into the picture with closed-form shapes and alpha
// blending. Every pixel is clipped to the picture; nothing is allocated.
#pragma once

#include <cstdint>

#include "eye_detection.h"
#include "overlay_types.h"

namespace tavrin::sunglasses {

// Lens half-axes and frame thickness for a given face width and eye distance.
struct LensSize {
  int32_t a; // horizontal semi-axis
  int32_t b; // vertical semi-axis
  int32_t t; // frame thickness
};
LensSize lens_size(int32_t face_width, int32_t eye_distance);

void blend_pixel(BmpImage &image, int x, int y, uint8_t red, uint8_t green, uint8_t blue,
                 double alpha);
void fill_ellipse_blended(BmpImage &image, int cx, int cy, int rx, int ry, uint8_t red,
                          uint8_t green, uint8_t blue, double alpha);
// The band of the ellipse (rx, ry) outside the ellipse (rx - t, ry - t).
void draw_ellipse_ring(BmpImage &image, int cx, int cy, int rx, int ry, int thickness,
                       uint8_t red, uint8_t green, uint8_t blue, double alpha);
// A plus-shaped brush of thickness / 2 pixels each way, stepped along the line.
void draw_thick_line(BmpImage &image, int x0, int y0, int x1, int y1, int thickness,
                     uint8_t red, uint8_t green, uint8_t blue, double alpha);

void draw_sunglasses(BmpImage &image, EyeRecord left, EyeRecord right, FaceRect face);

} // namespace tavrin::sunglasses

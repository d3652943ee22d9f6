#include "hostile_pictures.h"

#include <algorithm>
#include <cstddef>

namespace tavrin::test {

namespace {

const uint8_t *pixel(const Picture &p, int x, int y) {
  return &p.bgr[(static_cast<size_t>(y) * p.width + x) * 3];
}

Picture blank(int width, int height) {
  Picture p;
  p.width = width;
  p.height = height;
  p.bgr.assign(static_cast<size_t>(width) * height * 3, 0);
  return p;
}

uint8_t *pixel(Picture &p, int x, int y) { return &p.bgr[(static_cast<size_t>(y) * p.width + x) * 3]; }

} // namespace

Picture shrunk_portrait(int divisor) {
  const Picture full = make_portrait();
  Picture p = blank(full.width / divisor, full.height / divisor);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) std::copy_n(pixel(full, x * divisor, y * divisor), 3, pixel(p, x, y));
  return p;
}

Picture mirrored(const Picture &picture) {
  Picture p = blank(picture.width, picture.height);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) std::copy_n(pixel(picture, picture.width - 1 - x, y), 3, pixel(p, x, y));
  return p;
}

Picture cropped(const Picture &picture, int x0, int y0, int width, int height) {
  Picture p = blank(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) std::copy_n(pixel(picture, x0 + x, y0 + y), 3, pixel(p, x, y));
  return p;
}

} // namespace tavrin::test

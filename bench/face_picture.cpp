#include "face_picture.h"

#include <algorithm>
#include <cstddef>

namespace tavrin::bench {

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// Geometry is laid out for a face 200 units wide (as in the demo portrait)
// and scaled to the picture, in integers so every machine draws the same.
struct Canvas {
  Picture &p;
  int64_t cx, cy, num, den; // centre of the face; scale num / den

  int64_t s(int64_t units) const { return units * num / den; }

  void put(int64_t x, int64_t y, Rgb c) {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
    uint8_t *px = p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3;
    px[0] = c.b;
    px[1] = c.g;
    px[2] = c.r;
  }

  // Rectangle in face units, half-open on the right and bottom.
  void rect(int64_t x0, int64_t y0, int64_t x1, int64_t y1, Rgb c) {
    for (int64_t y = cy + s(y0); y < cy + s(y1); ++y)
      for (int64_t x = cx + s(x0); x < cx + s(x1); ++x) put(x, y, c);
  }

  void ellipse(int64_t ux, int64_t uy, int64_t urx, int64_t ury, Rgb c) {
    const int64_t ex = cx + s(ux), ey = cy + s(uy);
    const int64_t rx = std::max<int64_t>(1, s(urx)), ry = std::max<int64_t>(1, s(ury));
    for (int64_t y = ey - ry; y <= ey + ry; ++y)
      for (int64_t x = ex - rx; x <= ex + rx; ++x) {
        const int64_t dx = x - ex, dy = y - ey;
        if (dx * dx * ry * ry + dy * dy * rx * rx <= rx * rx * ry * ry) put(x, y, c);
      }
  }
};

uint32_t mix(uint32_t x, uint32_t y) {
  uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

} // namespace

Picture make_face_picture(int32_t width, int32_t height, double face_share) {
  Picture p;
  p.width = width;
  p.height = height;
  p.bgr.resize(static_cast<size_t>(width) * height * 3);

  // Cool blue-grey backdrop, lighter towards the top.
  for (int32_t y = 0; y < height; ++y) {
    uint8_t *row = p.bgr.data() + static_cast<size_t>(y) * width * 3;
    const uint8_t shade = static_cast<uint8_t>(70 + (40 * static_cast<int64_t>(y)) / height);
    for (int32_t x = 0; x < width; ++x) {
      row[3 * x] = 140;
      row[3 * x + 1] = static_cast<uint8_t>(shade + 20);
      row[3 * x + 2] = shade;
    }
  }

  // A face 200 units wide becomes face_share of the picture width.
  const int64_t per_mille = std::clamp<int64_t>(static_cast<int64_t>(face_share * 1000 + 0.5), 10, 1000);
  Canvas c{p, width / 2, (static_cast<int64_t>(height) * 45) / 100, width * per_mille, 200000};
  const Rgb hair{60, 40, 30};
  c.rect(-180, 200, 181, 100000, Rgb{40, 50, 90});   // shirt
  c.rect(-30, 110, 31, 210, Rgb{200, 150, 120});     // neck
  c.ellipse(0, -40, 118, 120, hair);                 // hair
  c.ellipse(0, 0, 100, 130, Rgb{224, 172, 140});     // face
  c.rect(-100, -150, 101, -95, hair);                // fringe
  for (int side : {-1, 1}) {
    const int64_t ex = side * 42, ey = -35;
    c.rect(ex - 20, ey - 24, ex + 21, ey - 18, Rgb{110, 75, 55}); // brow
    c.ellipse(ex, ey, 18, 9, Rgb{240, 240, 235});                  // white
    c.ellipse(ex, ey, 8, 8, Rgb{60, 80, 120});                     // iris
    c.ellipse(ex, ey, 4, 4, Rgb{15, 15, 20});                      // pupil
  }
  c.ellipse(0, 30, 12, 6, Rgb{190, 135, 110}); // nose shadow
  c.ellipse(0, 70, 34, 8, Rgb{170, 70, 70});   // mouth

  // Grain of -3..+3 per channel, as a camera sensor leaves it.
  for (int32_t y = 0; y < height; ++y) {
    uint8_t *row = p.bgr.data() + static_cast<size_t>(y) * width * 3;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t h = mix(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
      for (int ch = 0; ch < 3; ++ch) {
        const int v = row[3 * x + ch] + static_cast<int>((h >> (8 * ch)) % 7) - 3;
        row[3 * x + ch] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return p;
}

Picture make_skinless_picture(int32_t width, int32_t height, bool flat) {
  Picture p;
  p.width = width;
  p.height = height;
  p.bgr.resize(static_cast<size_t>(width) * height * 3);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t *row = p.bgr.data() + static_cast<size_t>(y) * width * 3;
    for (int32_t x = 0; x < width; ++x) {
      // Grey, so red never leads green and blue as skin's does.
      const uint32_t grain = flat ? 0 : mix(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) % 40;
      const uint8_t v = static_cast<uint8_t>(100 + grain);
      row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
    }
  }
  return p;
}

} // namespace tavrin::bench

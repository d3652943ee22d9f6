// Pictures shared by the sunglasses tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "bmp_builder.h"
#include "overlay_types.h"

namespace tavrin {

inline bool operator==(const FaceRect &a, const FaceRect &b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

inline void PrintTo(const FaceRect &r, std::ostream *os) {
  *os << "(" << r.x << "," << r.y << ") " << r.width << "x" << r.height;
}

} // namespace tavrin

namespace tavrin::sunglasses::test {

using tavrin::test::Rgb;
using tavrin::test::TestPicture;

inline constexpr Rgb kSkin{224, 172, 140};
inline constexpr Rgb kBackdrop{60, 90, 140};
inline constexpr Rgb kDarkEye{30, 25, 25};

// Inside the ellipse centred on (cx, cy), in integers so the picture is exact.
inline bool in_ellipse(int x, int y, int cx, int cy, int rx, int ry) {
  int64_t dx = x - cx, dy = y - cy;
  return dx * dx * ry * ry + dy * dy * rx * rx <= int64_t{rx} * rx * ry * ry;
}

// A small face: a skin ellipse on a blue backdrop with two dark eyes at
// (34, 46) and (62, 48). Small enough that the full eye search stays quick.
inline TestPicture make_face_picture() {
  return tavrin::test::make_picture(96, 112, [](int x, int y) {
    if (in_ellipse(x, y, 34, 46, 6, 4) || in_ellipse(x, y, 62, 48, 6, 4)) return kDarkEye;
    if (in_ellipse(x, y, 48, 56, 34, 44)) return kSkin;
    return kBackdrop;
  });
}

// A BmpImage over a TestPicture's pixels, for the functions under test.
struct ImageBuffer {
  explicit ImageBuffer(const TestPicture &p) : bytes(static_cast<size_t>(p.width) * p.height * 3) {
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        const Rgb &c = p.at(x, y);
        uint8_t *px = bytes.data() + (static_cast<size_t>(y) * p.width + x) * 3;
        px[0] = c.b;
        px[1] = c.g;
        px[2] = c.r;
      }
    image = BmpImage{p.width, p.height, bytes.data()};
  }
  Rgb at(int x, int y) const {
    const uint8_t *px = bytes.data() + (static_cast<size_t>(y) * image.width + x) * 3;
    return Rgb{px[2], px[1], px[0]};
  }
  std::vector<uint8_t> bytes;
  BmpImage image{};
};

// splitmix64: the same pictures on every run.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  int32_t below(int32_t n) { return static_cast<int32_t>(next() % static_cast<uint64_t>(n)); }
  int32_t between(int32_t lo, int32_t hi) { return lo + below(hi - lo + 1); }
  uint8_t byte() { return static_cast<uint8_t>(next()); }
};

} // namespace tavrin::sunglasses::test

#include "demo/portrait.h"

#include <cstddef>

namespace tavrin {

namespace {

constexpr int32_t kWidth = 480;
constexpr int32_t kHeight = 600;

// The face is mirror-symmetric about the line between columns 239 and 240;
// shapes are tested in doubled coordinates so that both halves match pixel
// for pixel.
constexpr int kAxis2 = 479;
constexpr int kFaceRow = 280;    // centre row of the face
constexpr int kFringeRow = 175;  // first row of skin below the hair

struct Rgb {
  uint8_t r, g, b;
};

constexpr Rgb kSkin{224, 172, 140};
constexpr Rgb kHair{60, 40, 30};
constexpr Rgb kBrow{130, 80, 60};
constexpr Rgb kSclera{235, 205, 190};
constexpr Rgb kIris{120, 75, 60};
constexpr Rgb kNostril{150, 95, 75};
constexpr Rgb kLips{190, 110, 100};
constexpr Rgb kNeck{140, 135, 125};
constexpr Rgb kSweater{40, 50, 90};
// Faint freckles: a fine regular texture over the skin.
constexpr Rgb kFreckle{224, 172, 86};

void set(Picture &p, int x, int y, Rgb c) {
  if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
  uint8_t *px = p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3;
  px[0] = c.b;
  px[1] = c.g;
  px[2] = c.r;
}

// Inside the ellipse with doubled centre offsets (dx2, dy2) and doubled
// semi-axes (rx2, ry2), in integers so the picture is the same everywhere.
bool in_ellipse2(int64_t dx2, int64_t dy2, int64_t rx2, int64_t ry2) {
  return dx2 * dx2 * ry2 * ry2 + dy2 * dy2 * rx2 * rx2 <= rx2 * rx2 * ry2 * ry2;
}

// A shape centred on the face's axis, or on a point cx2/2 columns from it
// (mirrored when `mirror` is set), at centre row cy with semi-axes rx, ry.
bool in_feature(int x, int y, int offset, int cy, int rx, int ry) {
  int dx2 = (2 * x - kAxis2);
  if (dx2 < 0) dx2 = -dx2;
  return in_ellipse2(dx2 - 2 * offset, 2 * (y - cy), 2 * rx, 2 * ry);
}

bool in_face(int x, int y) { return in_feature(x, y, 0, kFaceRow, 115, 150); }

} // namespace

Picture make_portrait() {
  Picture p;
  p.width = kWidth;
  p.height = kHeight;
  p.bgr.assign(static_cast<size_t>(kWidth) * kHeight * 3, 0);

  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      // Blue-grey backdrop, lighter towards the bottom.
      Rgb c{static_cast<uint8_t>(70 + y / 20), static_cast<uint8_t>(90 + y / 20), 140};
      if (y >= 380 && in_feature(x, y, 0, 380, 46, 200)) c = kNeck;
      if (y >= 445 && in_feature(x, y, 0, 640, 230, 200)) c = kSweater;
      if (in_feature(x, y, 0, 250, 135, 140) && y < 200) c = kHair;
      if (in_face(x, y)) {
        c = y < kFringeRow ? kHair : kSkin;
        if (in_feature(x, y, 46, 232, 24, 4)) c = kBrow;
        if (in_feature(x, y, 46, 250, 22, 10)) c = kSclera;
        if (in_feature(x, y, 46, 250, 9, 9)) c = kIris;
        if (in_feature(x, y, 9, 330, 6, 4)) c = kNostril;
        if (in_feature(x, y, 0, 380, 34, 9)) c = kLips;
        if (y >= kFringeRow && x % 5 == 0 && y % 6 == 0) c = kFreckle;
      }
      set(p, x, y, c);
    }
  }
  return p;
}

} // namespace tavrin

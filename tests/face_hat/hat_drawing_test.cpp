#include <gtest/gtest.h>

#include <climits>

#include "hat_drawing.h"
#include "hat_pictures.h"
#include "overlay_types.h"

namespace tavrin::face_hat {
namespace {

using test::make_picture;
using test::Rgb;
using test::TestPicture;

constexpr Rgb kBackground{1, 2, 3};
constexpr Rgb kFill{20, 20, 20};
constexpr Rgb kRed{160, 15, 15};
constexpr Rgb kLine{55, 55, 55};

TestPicture hat_on(int width, int height, FaceRect face) {
  std::vector<uint8_t> buffer = test::to_rgb_buffer(make_picture(width, height, kBackground));
  draw_hat(buffer.data(), width, height, face.x, face.y, face.width, face.height);
  return test::from_rgb_buffer(buffer.data(), width, height);
}

// Paints columns x0..x1 and rows y0..y1 (inclusive) of the expected picture.
void paint(TestPicture &p, int x0, int x1, int y0, int y1, Rgb c) {
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) p.at(x, y) = c;
}

void expect_same(const TestPicture &got, const TestPicture &want) {
  int wrong = 0;
  for (int y = 0; y < want.height; ++y)
    for (int x = 0; x < want.width; ++x) {
      const Rgb g = got.at(x, y), w = want.at(x, y);
      if (g == w) continue;
      if (++wrong <= 5)
        ADD_FAILURE() << "pixel (" << x << "," << y << ") is (" << +g.r << "," << +g.g << ","
                      << +g.b << "), expected (" << +w.r << "," << +w.g << "," << +w.b << ")";
    }
  EXPECT_EQ(wrong, 0);
}

TEST(HatDrawing, HatAboveAFaceInsideThePicture) {
  // Crown rows 24-48, columns 36-63; brim rows 49-53, columns 30-69; t = 2.
  TestPicture want = make_picture(100, 120, kBackground);
  paint(want, 36, 63, 24, 48, kLine);
  paint(want, 38, 61, 26, 45, kFill);
  paint(want, 38, 61, 46, 46, kRed);
  paint(want, 30, 69, 49, 53, kLine);
  paint(want, 32, 67, 51, 51, kFill);
  expect_same(hat_on(100, 120, {30, 42, 40, 50}), want);
}

TEST(HatDrawing, CrownAboveTheTopEdgeIsCutOff) {
  // Crown top -18 clips to row 0, so its top outline draws nothing.
  TestPicture want = make_picture(100, 120, kBackground);
  paint(want, 6, 33, 0, 6, kLine);
  paint(want, 8, 31, 0, 3, kFill);
  paint(want, 8, 31, 4, 4, kRed);
  paint(want, 0, 39, 7, 11, kLine);
  paint(want, 2, 37, 9, 9, kFill);
  expect_same(hat_on(100, 120, {0, 0, 40, 50}), want);
}

TEST(HatDrawing, WideFaceGetsThickerOutlinesAndATallerBand) {
  // brimH 22, crownH 100, crownW 115, bandH 14, t 3, base 150, crownX 122.
  TestPicture want = make_picture(400, 400, kBackground);
  paint(want, 122, 236, 28, 127, kLine);
  paint(want, 125, 233, 31, 113, kFill);
  paint(want, 125, 233, 114, 124, kRed);
  paint(want, 100, 259, 128, 149, kLine);
  paint(want, 103, 256, 131, 146, kFill);
  expect_same(hat_on(400, 400, {100, 100, 160, 200}), want);
}

TEST(HatDrawing, OutlinesThickenAboveEightyPixelsOfFace) {
  // fh 100: brim rows 114-124; row 119 is inside the brim's outline.
  TestPicture narrow = hat_on(200, 200, {10, 100, 80, 100});
  EXPECT_EQ(narrow.at(11, 119), kLine);
  EXPECT_EQ(narrow.at(12, 119), kFill);
  EXPECT_EQ(narrow.at(12, 115), kLine);
  EXPECT_EQ(narrow.at(12, 116), kFill);
  TestPicture wide = hat_on(200, 200, {10, 100, 81, 100});
  EXPECT_EQ(wide.at(12, 119), kLine);
  EXPECT_EQ(wide.at(13, 119), kFill);
  EXPECT_EQ(wide.at(13, 116), kLine);
  EXPECT_EQ(wide.at(13, 117), kFill);
}

TEST(HatDrawing, HatBeyondTheRightAndBottomEdgesIsClipped) {
  // Brim rows 117-121 and columns 90-129 of a 100 x 120 picture: its bottom
  // and right outline edges fall outside.
  TestPicture got = hat_on(100, 120, {90, 110, 40, 50});
  EXPECT_EQ(got.at(90, 119), kLine);
  EXPECT_EQ(got.at(92, 119), kFill);
  EXPECT_EQ(got.at(99, 119), kFill);
  EXPECT_EQ(got.at(99, 118), kLine);
  EXPECT_EQ(got.at(89, 119), kBackground);
  // Crown columns 96-123, rows 92-116.
  EXPECT_EQ(got.at(96, 100), kLine);
  EXPECT_EQ(got.at(98, 100), kFill);
  EXPECT_EQ(got.at(95, 100), kBackground);
  EXPECT_EQ(got.at(99, 91), kBackground);
}

TEST(HatDrawing, RectanglesFarOutsideDrawNothing) {
  std::vector<uint8_t> buffer = test::to_rgb_buffer(make_picture(8, 8, kBackground));
  const std::vector<uint8_t> before = buffer;
  const HatColour red{160, 15, 15};
  fill_rect(buffer.data(), 8, 8, INT_MAX - 2, 0, INT_MAX, 4, red);
  fill_rect(buffer.data(), 8, 8, 0, INT_MAX - 2, 4, INT_MAX, red);
  fill_rect(buffer.data(), 8, 8, INT_MIN, 0, 10, 4, red);
  fill_rect(buffer.data(), 8, 8, 2, 2, 0, 4, red);
  fill_rect(buffer.data(), 8, 8, 2, 2, 4, -1, red);
  EXPECT_EQ(buffer, before);
  fill_rect(buffer.data(), 8, 8, -5, -5, 6, 6, red); // only (0,0) remains
  EXPECT_EQ(buffer[0], 160);
  EXPECT_EQ(buffer[3], before[3]);
  EXPECT_EQ(buffer[8 * 3], before[8 * 3]);
}

} // namespace
} // namespace tavrin::face_hat

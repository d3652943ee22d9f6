#include <gtest/gtest.h>

#include <climits>

#include "mustache_rendering.h"
#include "picture_helpers.h"

namespace tavrin::mustache {
namespace {

using test::kWhite;
using test::make_image;

// The pixels a drawing changed: all must be black.
struct Painted {
  int count = 0;
  int min_x = INT_MAX, max_x = INT_MIN, min_y = INT_MAX, max_y = INT_MIN;
};

Painted painted(const RgbImage &image) {
  Painted p;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const test::Rgb c = test::pixel_at(image, x, y);
      if (c == kWhite) continue;
      EXPECT_EQ(c, test::kBlack) << x << "," << y;
      ++p.count;
      p.min_x = std::min(p.min_x, x);
      p.max_x = std::max(p.max_x, x);
      p.min_y = std::min(p.min_y, y);
      p.max_y = std::max(p.max_y, y);
    }
  return p;
}

bool is_black(const RgbImage &image, int x, int y) {
  return test::pixel_at(image, x, y) == test::kBlack;
}

TEST(MustacheRendering, FaceWidth100PaintsThe323PixelShape) {
  RgbImagePtr image = make_image(200, 200, [](int, int) { return kWhite; });
  draw_mustache(*image, 100, 80, 100);
  Painted p = painted(*image);
  EXPECT_EQ(p.count, 323);
  EXPECT_EQ(p.min_x, 70);
  EXPECT_EQ(p.max_x, 130);
  EXPECT_EQ(p.min_y, 75);
  EXPECT_EQ(p.max_y, 85);
  // Tips at (100 +- 28, 83) with radius 2, the middle of the curve at
  // (100 +- 17, 77), the centre disc of radius 3.
  for (int side : {-1, 1}) {
    EXPECT_TRUE(is_black(*image, 100 + side * 30, 83));
    EXPECT_TRUE(is_black(*image, 100 + side * 17, 75));
  }
  EXPECT_TRUE(is_black(*image, 100, 77));
  EXPECT_TRUE(is_black(*image, 103, 80));
}

TEST(MustacheRendering, FaceWidth200HasRadius5AndRowsMinus12ToPlus10) {
  RgbImagePtr image = make_image(300, 200, [](int, int) { return kWhite; });
  draw_mustache(*image, 150, 100, 200);
  Painted p = painted(*image);
  EXPECT_EQ(p.min_y, 100 - 12);
  EXPECT_EQ(p.max_y, 100 + 10);
  EXPECT_EQ(p.min_x, 150 - 56 - 5);
  EXPECT_EQ(p.max_x, 150 + 56 + 5);
  EXPECT_TRUE(is_black(*image, 150 + 61, 105)); // tip disc edge
  EXPECT_TRUE(is_black(*image, 150 - 61, 105));
  EXPECT_TRUE(is_black(*image, 150 + 56, 110));
}

TEST(MustacheRendering, OffsetsAddAHalfAndTruncateTowardZero) {
  EXPECT_EQ(pixel_offset(-0.7), 0);
  EXPECT_EQ(pixel_offset(-1.2), 0);
  EXPECT_EQ(pixel_offset(-1.49), 0);
  EXPECT_EQ(pixel_offset(-1.6), -1);
  EXPECT_EQ(pixel_offset(0.49), 0);
  EXPECT_EQ(pixel_offset(0.5), 1);
  EXPECT_EQ(pixel_offset(27.5), 28);

  // For faceW 35 the curve dips to about -1.3 px: +0.5 and truncation toward
  // zero keep every sample on the mouth row or below, so only the centre
  // disc (radius 3) reaches row mouthY - 3, and only at its centre column.
  RgbImagePtr image = make_image(100, 60, [](int, int) { return kWhite; });
  draw_mustache(*image, 50, 30, 35);
  for (int x = 0; x < 100; ++x) EXPECT_EQ(is_black(*image, x, 27), x == 50) << x;
  Painted p = painted(*image);
  EXPECT_EQ(p.min_y, 27);

  // The rightmost pixel is the tip (faceW * 0.28, rounded) plus the brush
  // radius, which stays 2 up to faceW 104 and is 3 from 105 on.
  for (auto [fw, right] : std::vector<std::pair<int, int>>{{70, 20 + 2}, {104, 29 + 2}, {105, 29 + 3}}) {
    RgbImagePtr small = make_image(200, 100, [](int, int) { return kWhite; });
    draw_mustache(*small, 100, 50, fw);
    EXPECT_EQ(painted(*small).max_x, 100 + right) << fw;
  }
}

TEST(MustacheRendering, BezierFollowsItsControlValues) {
  EXPECT_EQ(cubic_bezier(1, 2, 3, 4, 0.0), 1.0);
  EXPECT_EQ(cubic_bezier(1, 2, 3, 4, 1.0), 4.0);
  EXPECT_EQ(cubic_bezier(0, 1, 2, 3, 0.5), 1.5);
  EXPECT_EQ(cubic_bezier(0, 0, 0, 8, 0.5), 1.0);
  // The grouping decides the last bit: for the x of sample 3 at faceW 100
  // the expanded sum of the four terms ends in ...f23 instead.
  const double h = 100.0 * 0.28;
  EXPECT_EQ(cubic_bezier(0, h * 0.4, h * 0.85, h, 3.0 * 0.00125), 0x1.022afb9968f24p-3);
}

TEST(MustacheRendering, DiscsAreClippedToThePicture) {
  RgbImagePtr image = make_image(10, 8, [](int, int) { return kWhite; });
  fill_disc(*image, 0, 0, 3, Rgb{1, 2, 3});
  int inside = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x)
      if (test::pixel_at(*image, x, y) == test::Rgb{1, 2, 3}) {
        ++inside;
        EXPECT_LE(x * x + y * y, 9);
      }
  EXPECT_EQ(inside, 11); // the quarter disc with the boundary: rows 4+3+3+1

  // Far outside, and at the extremes of the integer range: nothing changes.
  for (auto [cx, my] : std::vector<std::pair<int32_t, int32_t>>{
           {-1000, 4}, {5, -1000}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}, {5, INT_MAX}}) {
    RgbImagePtr clean = make_image(10, 8, [](int, int) { return kWhite; });
    draw_mustache(*clean, cx, my, 100);
    EXPECT_EQ(painted(*clean).count, 0) << cx << "," << my;
  }
  // A mustache across a corner paints only what lies inside.
  RgbImagePtr corner = make_image(10, 8, [](int, int) { return kWhite; });
  draw_mustache(*corner, 0, 0, 100);
  Painted p = painted(*corner);
  EXPECT_GT(p.count, 0);
  EXPECT_EQ(p.min_x, 0);
  EXPECT_EQ(p.min_y, 0);
}

} // namespace
} // namespace tavrin::mustache

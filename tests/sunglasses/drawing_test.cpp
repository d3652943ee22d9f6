#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "sunglasses_drawing.h"

namespace tavrin::sunglasses {
namespace {

using test::ImageBuffer;
using test::Rgb;

constexpr Rgb kGrey{200, 200, 200};
constexpr Rgb kFrame{5, 5, 5};
constexpr Rgb kTinted{51, 51, 53}; // kGrey under the lens tint

ImageBuffer grey_canvas(int width, int height) {
  return ImageBuffer(tavrin::test::make_picture(width, height, kGrey));
}

std::set<std::pair<int, int>> changed_pixels(const ImageBuffer &canvas) {
  std::set<std::pair<int, int>> changed;
  for (int y = 0; y < canvas.image.height; ++y)
    for (int x = 0; x < canvas.image.width; ++x)
      if (!(canvas.at(x, y) == kGrey)) changed.insert({x, y});
  return changed;
}

EyeRecord eye(int cx, int cy) { return EyeRecord{cx, cy, 0, 0, 0}; }

TEST(LensSize, ClampedBetweenShares) {
  const LensSize tilted = lens_size(150, 60);
  EXPECT_EQ(tilted.a, 27);
  EXPECT_EQ(tilted.b, 16);
  EXPECT_EQ(tilted.t, 2);
  EXPECT_EQ(lens_size(100, 100).a, 40);  // raised to 40 % of the eye distance
  EXPECT_EQ(lens_size(400, 100).a, 55);  // lowered to 55 %
  EXPECT_EQ(lens_size(400, 100).t, 4);
  const LensSize touching = lens_size(150, 1);
  EXPECT_EQ(touching.a, 0);
  EXPECT_EQ(touching.b, 0);
  EXPECT_EQ(touching.t, 2);
}

TEST(BlendPixel, MixesInDoubleAndTruncates) {
  ImageBuffer canvas = grey_canvas(2, 1);
  blend_pixel(canvas.image, 0, 0, 10, 10, 12, 0.78);
  EXPECT_EQ(canvas.at(0, 0), kTinted);
  blend_pixel(canvas.image, 1, 0, 5, 6, 7, 1.0);
  EXPECT_EQ(canvas.at(1, 0), (Rgb{5, 6, 7}));
  blend_pixel(canvas.image, 1, 0, 255, 255, 255, 0.0);
  EXPECT_EQ(canvas.at(1, 0), (Rgb{5, 6, 7}));
  for (auto [x, y] : {std::pair{-1, 0}, std::pair{2, 0}, std::pair{0, -1}, std::pair{0, 1}})
    blend_pixel(canvas.image, x, y, 0, 0, 0, 1.0); // clipped, nothing to see or crash
  EXPECT_EQ(canvas.at(0, 0), kTinted);
}

TEST(Shapes, EllipseIncludesItsBoundary) {
  ImageBuffer canvas = grey_canvas(30, 20);
  fill_ellipse_blended(canvas.image, 15, 10, 6, 4, 0, 0, 0, 1.0);
  for (auto [x, y] : {std::pair{9, 10}, std::pair{21, 10}, std::pair{15, 6}, std::pair{15, 14}})
    EXPECT_EQ(canvas.at(x, y), (Rgb{0, 0, 0})) << x << "," << y;
  for (auto [x, y] : {std::pair{8, 10}, std::pair{22, 10}, std::pair{15, 5}, std::pair{15, 15},
                      std::pair{20, 13}})
    EXPECT_EQ(canvas.at(x, y), kGrey) << x << "," << y;
}

TEST(Shapes, RingWithNoInnerWidthSparesOnlyTheCentreColumn) {
  ImageBuffer canvas = grey_canvas(20, 20);
  draw_ellipse_ring(canvas.image, 10, 10, 2, 5, 2, 5, 5, 5, 1.0);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const double h = (x - 10) / 2.0, v = (y - 10) / 5.0;
      const bool framed = h * h + v * v <= 1.0 && x != 10;
      EXPECT_EQ(canvas.at(x, y), framed ? kFrame : kGrey) << x << "," << y;
    }
}

// Shapes wider than a stretch of columns, partly off the picture, against
// the formulas pixel by pixel: a lens and a frame.
TEST(Shapes, WideShapesMatchTheFormulaInEveryColumn) {
  const int cx = 330, cy = 30, rx = 300, ry = 25, t = 7;
  ImageBuffer lens = grey_canvas(600, 60), ring = grey_canvas(600, 60);
  fill_ellipse_blended(lens.image, cx, cy, rx, ry, 10, 10, 12, 0.78);
  draw_ellipse_ring(ring.image, cx, cy, rx, ry, t, 5, 5, 5, 1.0);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 600; ++x) {
      const double h = static_cast<double>(x - cx) / rx, v = static_cast<double>(y - cy) / ry;
      ASSERT_EQ(lens.at(x, y), h * h + v * v <= 1.0 ? kTinted : kGrey) << x << "," << y;
      const double ix = static_cast<double>(x - cx) / (rx - t), iy = static_cast<double>(y - cy) / (ry - t);
      const bool framed = h * h + v * v <= 1.0 && iy * iy + ix * ix >= 1.0;
      ASSERT_EQ(ring.at(x, y), framed ? kFrame : kGrey) << x << "," << y;
    }
}

TEST(Shapes, ThickLineIsAPlusBrushWithBothEnds) {
  ImageBuffer canvas = grey_canvas(20, 10);
  draw_thick_line(canvas.image, 3, 5, 6, 5, 2, 5, 5, 5, 1.0);
  std::set<std::pair<int, int>> expected;
  for (int x = 3; x <= 6; ++x)
    for (int y = 4; y <= 6; ++y) expected.insert({x, y});
  expected.insert({2, 5});
  expected.insert({7, 5});
  EXPECT_EQ(changed_pixels(canvas), expected);
}

class TiltedEyes : public testing::Test {
protected:
  // Eyes at (100, 120) and (160, 124), face width 150: a = 27, b = 16, t = 2.
  void SetUp() override { draw_sunglasses(canvas.image, eye(100, 120), eye(160, 124), FaceRect{0, 0, 150, 1}); }
  ImageBuffer canvas = grey_canvas(260, 200);
};

TEST_F(TiltedEyes, BridgeRunsThroughTheRaisedMiddle) {
  for (auto [x, y] : {std::pair{125, 120}, std::pair{130, 118}, std::pair{135, 124},
                      std::pair{125, 119}, std::pair{124, 120}, std::pair{127, 119}})
    EXPECT_EQ(canvas.at(x, y), kFrame) << x << "," << y;
  EXPECT_EQ(canvas.at(130, 116), kGrey); // above the bridge's brush
}

TEST_F(TiltedEyes, LensesAreTintedFramedAndShadedAbove) {
  EXPECT_EQ(canvas.at(100, 130), kTinted);  // lower half: plain tint
  EXPECT_EQ(canvas.at(160, 134), kTinted);
  EXPECT_EQ(canvas.at(110, 120), kTinted);  // the centre row gets alpha 0
  EXPECT_LT(canvas.at(100, 110).r, kTinted.r); // shaded upper half
  EXPECT_EQ(canvas.at(73, 120), kFrame);    // the lens's outer points are framed
  EXPECT_EQ(canvas.at(100, 104), kFrame);
  EXPECT_EQ(canvas.at(72, 120), kGrey);     // just outside
  EXPECT_EQ(canvas.at(100, 103), kGrey);
  EXPECT_EQ(canvas.at(160, 107), kGrey);
}

TEST_F(TiltedEyes, ReflectionsSitUpAndLeft) {
  // Reflection centres (91, 115) and (151, 119), semi-axes 6 and 5: within a
  // row of a lens only the reflection's extent differs.
  EXPECT_GT(canvas.at(91, 115).r, canvas.at(98, 115).r);
  EXPECT_EQ(canvas.at(97, 115), canvas.at(91, 115));
  EXPECT_EQ(canvas.at(85, 115), canvas.at(91, 115));
  EXPECT_EQ(canvas.at(98, 115), canvas.at(84, 115));
  EXPECT_GT(canvas.at(151, 119).r, canvas.at(158, 119).r);
  EXPECT_EQ(canvas.at(145, 119), canvas.at(157, 119));
}

TEST_F(TiltedEyes, NothingElseChanges) {
  ImageBuffer other = grey_canvas(260, 200);
  draw_sunglasses(other.image, eye(100, 120), eye(160, 124), FaceRect{33, 44, 150, 999});
  EXPECT_EQ(other.bytes, canvas.bytes) << "the face's position and height must not matter";
  for (auto [x, y] : changed_pixels(canvas)) {
    ASSERT_GE(x, 100 - 27 - 2);
    ASSERT_LE(x, 160 + 27 + 2);
    ASSERT_GE(y, 120 - 16 - 2);
    ASSERT_LE(y, 124 + 16 + 2);
  }
}

TEST(DrawSunglasses, EyesOnePixelApartLeaveBridgeAndFourFramePixelsEach) {
  ImageBuffer canvas = grey_canvas(100, 100);
  draw_sunglasses(canvas.image, eye(50, 50), eye(51, 50), FaceRect{0, 0, 150, 150});
  std::set<std::pair<int, int>> expected;
  for (int x = 48; x <= 53; ++x)
    for (int y = 49; y <= 51; ++y) expected.insert({x, y}); // both bridge segments
  for (auto p : {std::pair{47, 50}, std::pair{54, 50}, std::pair{50, 48}, std::pair{50, 52},
                 std::pair{51, 48}, std::pair{51, 52}})
    expected.insert(p);
  EXPECT_EQ(changed_pixels(canvas), expected);
  for (auto [x, y] : expected) EXPECT_EQ(canvas.at(x, y), kFrame);
}

TEST(DrawSunglasses, ClipsAtEveryEdge) {
  // Guard bytes around a small picture must survive glasses that overhang it.
  const int w = 30, h = 20;
  std::vector<uint8_t> bytes(w * h * 3 + 2 * 64, 0xAB);
  BmpImage image{w, h, bytes.data() + 64};
  draw_sunglasses(image, eye(2, 1), eye(27, 18), FaceRect{0, 0, 60, 60});
  draw_sunglasses(image, eye(-20, -5), eye(40, 25), FaceRect{0, 0, 200, 60});
  for (size_t i = 0; i < 64; ++i) {
    ASSERT_EQ(bytes[i], 0xAB);
    ASSERT_EQ(bytes[bytes.size() - 1 - i], 0xAB);
  }
}

} // namespace
} // namespace tavrin::sunglasses

#include <gtest/gtest.h>

#include "eyes_mouth_line.h"
#include "picture_helpers.h"

namespace tavrin::mustache {
namespace {

using test::kBlack;
using test::kSkin;
using test::kWhite;
using test::make_image;

struct Eyes {
  int32_t y = -1, iod = -1;
};

Eyes find_eyes(const RgbImage &image, int32_t c, int32_t t, int32_t w) {
  EyeWindowSums sums;
  EXPECT_TRUE(allocate_eye_window_sums(image, sums));
  Eyes e;
  detect_eyes(image, sums, c, t, w, &e.y, &e.iod);
  return e;
}

TEST(EyeSearch, PlanForTheWorkedFaceWidths) {
  EyeSearchPlan p = plan_eye_search(100, 50, 103);
  EXPECT_EQ(p.ew, 20);
  EXPECT_EQ(p.eh, 11);
  EXPECT_EQ(p.dmin, 35);
  EXPECT_EQ(p.dmax, 65);
  EXPECT_EQ(p.y0, 62);
  EXPECT_EQ(p.y1, 102);
  EXPECT_EQ(plan_eye_search(100, 50, 90).y1, 89); // clipped to the picture

  p = plan_eye_search(10, 0, 50);
  EXPECT_EQ(p.ew, 5);
  EXPECT_EQ(p.eh, 3);
  EXPECT_EQ(p.dmin, 7); // raised to ew + 2
  EXPECT_EQ(p.dmax, 6);

  EXPECT_EQ(plan_eye_search(40, -30, 50).y0, 0); // never above the picture
}

TEST(EyeSearch, StartValuesStandWhenNoPairFits) {
  // w = 100, t = 50 in a picture 30 columns wide: the closest pair already
  // reaches past the right edge.
  RgbImagePtr narrow = make_image(30, 200, [](int, int) { return kSkin; });
  Eyes e = find_eyes(*narrow, 15, 50, 100);
  EXPECT_EQ(e.y, 82);
  EXPECT_EQ(e.iod, 50);

  // w = 10: dmin 7 > dmax 6, nothing is tried.
  RgbImagePtr wide = make_image(200, 200, [](int, int) { return kSkin; });
  e = find_eyes(*wide, 100, 20, 10);
  EXPECT_EQ(e.iod, 6);
  EXPECT_EQ(e.y, (21 + 25) / 2); // band rows 20 + 12/10 .. 20 + 12*42/100
}

TEST(EyeSearch, UniformBrightnessKeepsTheFirstPairThatFits) {
  RgbImagePtr plain = make_image(200, 200, [](int, int) { return kSkin; });
  Eyes e = find_eyes(*plain, 100, 50, 100);
  EXPECT_EQ(e.y, 62 + 5);
  EXPECT_EQ(e.iod, 35);

  // Near the left edge the closest pairs do not fit: c = 27 puts the left
  // window at 27 - 10 - d/2, inside the picture only for d <= 35.
  e = find_eyes(*plain, 27, 50, 100);
  EXPECT_EQ(e.iod, 35);
  // c = 26: no distance fits at all, the start values stand.
  e = find_eyes(*plain, 26, 50, 100);
  EXPECT_EQ(e.iod, 50);
  EXPECT_EQ(e.y, 82);
}

TEST(EyeSearch, FindsTheDarkestWindowPair) {
  // Dark patches exactly the size of the eye windows (20 x 11) where the pair
  // for d = 50 sits (columns 65 and 115 around c = 100), at rows 70 .. 80.
  auto patches = [](int top) {
    return [top](int x, int y) {
      bool in_rows = y >= top && y < top + 11;
      bool left = x >= 65 && x < 85, right = x >= 115 && x < 135;
      return in_rows && (left || right) ? kBlack : kWhite;
    };
  };
  RgbImagePtr image = make_image(220, 260, patches(70));
  Eyes e = find_eyes(*image, 100, 50, 100);
  EXPECT_EQ(e.y, 70 + 5);
  EXPECT_EQ(e.iod, 50);

  // The last window row of the band (102) may still be covered.
  image = make_image(220, 260, patches(92));
  e = find_eyes(*image, 100, 50, 100);
  EXPECT_EQ(e.y, 92 + 5);
  EXPECT_EQ(e.iod, 50);

  // Partly dark windows lose to a darker pair: a slightly lighter pair
  // higher up does not win over the black one further down.
  image = make_image(220, 260, [](int x, int y) {
    bool black = y >= 90 && y < 101 && ((x >= 65 && x < 85) || (x >= 115 && x < 135));
    bool grey = y >= 64 && y < 75 && ((x >= 70 && x < 90) || (x >= 110 && x < 130));
    return black ? kBlack : grey ? test::Rgb{10, 10, 10} : kWhite;
  });
  e = find_eyes(*image, 100, 50, 100);
  EXPECT_EQ(e.y, 95);
  EXPECT_EQ(e.iod, 50);
}

TEST(EyeSearch, BrightnessWeightsTheChannels) {
  EXPECT_EQ(brightness(255, 255, 255), 255);
  EXPECT_EQ(brightness(0, 0, 0), 0);
  EXPECT_EQ(brightness(1, 1, 1), 1);
  EXPECT_EQ(brightness(255, 0, 0), 76);
  EXPECT_EQ(brightness(0, 255, 0), 149);
  EXPECT_EQ(brightness(0, 0, 255), 28);
}

TEST(FaceDetection, PrintsItsThreeLinesAndPlacesTheMouth) {
  // A skin rectangle 100 wide from row 30 on: cx 99, w 100; uniform, so the
  // eyes are the first pair (row 42 + 5, distance 35); mouth 47 + 43.
  RgbImagePtr face = make_image(200, 200, test::skin_rect(50, 30, 150, 160));
  int32_t cx = -1, mouth = -1, fw = -1;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(detect_face(*face, &cx, &mouth, &fw));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  Skin blob top  : y=30  cx=99  w=100\n"
            "  Eyes detected  : y=47  IOD=35\n"
            "  Mouth placed   : y=90\n");
  EXPECT_EQ(cx, 99);
  EXPECT_EQ(mouth, 90);
  EXPECT_EQ(fw, 100);

  RgbImagePtr empty = make_image(50, 50, [](int, int) { return kWhite; });
  cx = mouth = fw = -7;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(detect_face(*empty, &cx, &mouth, &fw));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(cx, -7);
  EXPECT_EQ(mouth, -7);
  EXPECT_EQ(fw, -7);
}

} // namespace
} // namespace tavrin::mustache

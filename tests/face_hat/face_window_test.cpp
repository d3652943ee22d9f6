#include <gtest/gtest.h>

#include <optional>

#include "allocation_probe.h"
#include "face_window.h"
#include "hat_pictures.h"

namespace tavrin::face_hat {
namespace {

using test::kBlueGrey;
using test::kSkin;
using test::make_picture;
using test::Rgb;
using test::TestPicture;

std::optional<FaceRect> find(const TestPicture &picture) {
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  FaceRect face{-7, -7, -7, -7};
  if (find_face_window(buffer.data(), picture.width, picture.height, face) != FaceSearch::kFound) {
    EXPECT_EQ(face.x, -7) << "out-values must stay untouched without a face";
    return std::nullopt;
  }
  return face;
}

void expect_face(const TestPicture &picture, FaceRect want) {
  std::optional<FaceRect> got = find(picture);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->x, want.x);
  EXPECT_EQ(got->y, want.y);
  EXPECT_EQ(got->width, want.width);
  EXPECT_EQ(got->height, want.height);
}

bool skin(Rgb c) { return is_skin_ycbcr(c.r, c.g, c.b); }

TEST(SkinRule, TypicalSkinTonesPass) {
  EXPECT_TRUE(skin(kSkin));
  EXPECT_TRUE(skin({200, 120, 90}));
  EXPECT_TRUE(skin({224, 172, 140}));
}

TEST(SkinRule, GreysAndBackgroundsFail) {
  EXPECT_FALSE(skin({255, 255, 255}));
  EXPECT_FALSE(skin({0, 0, 0}));
  EXPECT_FALSE(skin({128, 128, 128}));
  EXPECT_FALSE(skin(kBlueGrey));
}

// Each colour meets four bounds and lands exactly on the fifth, with the
// grouping the rule uses; the bounds are strict.
TEST(SkinRule, ColoursExactlyOnABoundAreNotSkin) {
  EXPECT_FALSE(skin({136, 54, 67})); // Y == 80
  EXPECT_FALSE(skin({91, 81, 46}));  // Y == 80
  EXPECT_FALSE(skin({102, 102, 0})); // Cb == 77
  EXPECT_FALSE(skin({88, 78, 78}));  // Cr == 133
  EXPECT_FALSE(skin({144, 54, 54})); // Cr == 173
  EXPECT_FALSE(skin({145, 55, 55})); // Cr == 173
}

TEST(SkinTable, RectSumCountsSkinInEveryRectangle) {
  const int w = 7, h = 5;
  TestPicture picture = make_picture(w, h, [](int x, int y) {
    return (x * 3 + y * 5) % 4 == 0 || x == y ? kSkin : kBlueGrey;
  });
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  SkinTable table = build_skin_integral(buffer.data(), w, h);
  ASSERT_TRUE(table);
  for (int y0 = 0; y0 < h; ++y0)
    for (int y1 = y0; y1 < h; ++y1)
      for (int x0 = 0; x0 < w; ++x0)
        for (int x1 = x0; x1 < w; ++x1) {
          int count = 0;
          for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) count += picture.at(x, y) == kSkin;
          ASSERT_EQ(rect_sum(table.get(), w, x0, y0, x1, y1), count)
              << x0 << "," << y0 << " to " << x1 << "," << y1;
        }
}

TEST(SkinTable, RectanglesWithoutColumnsOrRowsSumToZero) {
  TestPicture picture = make_picture(3, 3, kSkin);
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  SkinTable table = build_skin_integral(buffer.data(), 3, 3);
  ASSERT_TRUE(table);
  EXPECT_EQ(rect_sum(table.get(), 3, 0, 0, -1, 2), 0.0); // left of column 0
  EXPECT_EQ(rect_sum(table.get(), 3, 2, 0, 1, 2), 0.0);
  EXPECT_EQ(rect_sum(table.get(), 3, 0, 0, 2, -1), 0.0); // above row 0
  EXPECT_EQ(rect_sum(table.get(), 3, 1, 2, 1, 1), 0.0);
}

TEST(WindowSearch, AllSkinPictureTakesTheFirstBaseWindow) {
  test::reset_allocation_probe();
  expect_face(make_picture(100, 120, kSkin), {0, 0, 40, 50});
  // The skin table costs 4 bytes per pixel, so picture and table stay within 8.
  EXPECT_EQ(test::largest_allocation(), 100u * 120 * 4);
}

TEST(WindowSearch, SkinBlockIsFoundWhereTheWindowFirstFitsInside) {
  TestPicture picture = make_picture(100, 120, [](int x, int y) {
    return x >= 30 && x <= 69 && y >= 40 && y <= 99 ? kSkin : kBlueGrey;
  });
  expect_face(picture, {30, 42, 40, 50});
}

TEST(WindowSearch, UnevenHalvesLoseToTheBalancedLargerScale) {
  expect_face(make_picture(79, 100, kSkin), {0, 0, 78, 100});
}

TEST(WindowSearch, AspectOnTheUpperLimitIsAllowed) {
  expect_face(make_picture(60, 40, kSkin), {0, 0, 30, 20});
}

TEST(WindowSearch, ProportionsOutsideTheLimitsNeverGiveAFace) {
  EXPECT_FALSE(find(make_picture(200, 50, kSkin)));
  EXPECT_FALSE(find(make_picture(16, 60, kSkin)));
  EXPECT_FALSE(find(make_picture(100, 120, kBlueGrey)));
  EXPECT_FALSE(find(make_picture(100, 120, Rgb{255, 255, 255})));
}

// 400 skin pixels in a 40 x 50 window are a ratio of exactly 0.2, which counts.
TEST(WindowSearch, SkinRatioOfExactlyOneFifthIsScored) {
  TestPicture picture = make_picture(80, 100, [](int x, int y) {
    return x < 20 && y < 20 ? kSkin : kBlueGrey;
  });
  expect_face(picture, {0, 0, 40, 50});
  picture.at(19, 19) = kBlueGrey;
  EXPECT_FALSE(find(picture));
}

TEST(WindowSearch, PicturesNarrowerOrLowerThanTwoHaveNoFace) {
  EXPECT_FALSE(find(make_picture(1, 1, kSkin)));
  EXPECT_FALSE(find(make_picture(1, 3, kSkin)));
  EXPECT_FALSE(find(make_picture(3, 1, kSkin)));
  EXPECT_FALSE(find(make_picture(120, 1, kSkin)));
}

// Two or three columns give one-column base windows whose left half is empty.
TEST(WindowSearch, OneColumnWindowsHaveAnEmptyLeftHalf) {
  expect_face(make_picture(2, 2, kSkin), {0, 0, 2, 2});
  expect_face(make_picture(3, 3, kSkin), {0, 0, 2, 2});
  expect_face(make_picture(2, 3, kSkin), {0, 0, 2, 2});
  // A lone skin pixel scores 2.0 in its own window (balance 0); the 2 x 2
  // window around it only 1.25.
  TestPicture lone = make_picture(3, 2, kBlueGrey);
  lone.at(2, 1) = kSkin;
  expect_face(lone, {2, 1, 1, 1});
  lone = make_picture(3, 2, kBlueGrey);
  lone.at(0, 0) = kSkin;
  expect_face(lone, {0, 0, 1, 1});
  EXPECT_FALSE(find(make_picture(2, 9, kSkin))); // aspect 1/4
}

} // namespace
} // namespace tavrin::face_hat

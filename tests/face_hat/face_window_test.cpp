#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>

#include "allocation_probe.h"
#include "face_window.h"
#include "skin_table.h"
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

TEST(WindowSearch, AllSkinPictureTakesTheFirstBaseWindow) {
  test::reset_allocation_probe();
  expect_face(make_picture(100, 120, kSkin), {0, 0, 40, 50});
  // The skin table keeps only the cells the windows read: far less than the
  // pixels (it used to be 4 bytes per pixel).
  EXPECT_LT(test::largest_allocation(), 100u * 120 * 3 / 10);
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

// The search as first written: a table of every pixel, every window scored.
std::optional<FaceRect> reference_search(const TestPicture &picture) {
  const int32_t width = picture.width, height = picture.height;
  const int32_t base_w = width >= 80 ? 40 : width / 2;
  const int32_t base_h = height >= 100 ? 50 : height / 2;
  if (base_w <= 0 || base_h <= 0) return std::nullopt;
  const double aspect = static_cast<double>(base_w) / static_cast<double>(base_h);
  if (!(0.3 <= aspect && aspect <= 1.5)) return std::nullopt;
  const double weight = (0.55 <= aspect && aspect <= 1.15) ? 1.0 : 0.5;
  std::vector<uint32_t> table(static_cast<size_t>(width) * height);
  for (int32_t y = 0; y < height; ++y) {
    uint32_t row = 0;
    for (int32_t x = 0; x < width; ++x) {
      const Rgb c = picture.at(x, y);
      row += is_skin_ycbcr(c.r, c.g, c.b) ? 1 : 0;
      table[static_cast<size_t>(y) * width + x] = (y > 0 ? table[static_cast<size_t>(y - 1) * width + x] : 0) + row;
    }
  }
  auto cell = [&](int32_t x, int32_t y) { return static_cast<double>(table[static_cast<size_t>(y) * width + x]); };
  auto sum = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    if (x1 < x0 || y1 < y0) return 0.0;
    double v = cell(x1, y1);
    if (x0 > 0) v = v - cell(x0 - 1, y1);
    if (y0 > 0) v = v - cell(x1, y0 - 1);
    if (x0 > 0 && y0 > 0) v = cell(x0 - 1, y0 - 1) + v;
    return v;
  };
  double best_score = 0.65;
  std::optional<FaceRect> best;
  for (int s = 0; s < 8; ++s) {
    const int32_t ww = base_w << s, wh = base_h << s;
    if (ww > width || wh > height) break;
    const int32_t sx = ww / 8 < 1 ? 1 : ww / 8, sy = wh / 8 < 1 ? 1 : wh / 8, half = ww / 2;
    const double inv_area = 1.0 / static_cast<double>(ww * wh);
    for (int32_t y = 0; y + wh <= height; y += sy)
      for (int32_t x = 0; x + ww <= width; x += sx) {
        const double ratio = sum(x, y, x + ww - 1, y + wh - 1) * inv_area;
        if (!(ratio >= 0.2)) continue;
        const double left = sum(x, y, x + half - 1, y + wh - 1), right = sum(x + half, y, x + ww - 1, y + wh - 1);
        const double total = right + left;
        const double balance = total < 1 ? 0.0 : 1.0 - std::fabs(left - right) / total;
        const double score = (weight + balance) + ratio;
        if (score > best_score) {
          best_score = score;
          best = FaceRect{x, y, ww, wh};
        }
      }
  }
  return best;
}

// The table keeps only the cells the windows read; on pictures of every
// shape (small ones change the base window and the steps) the search must
// pick the window the full table picks.
TEST(WindowSearch, SameWindowAsTheFullTableOnRandomPictures) {
  std::mt19937 rng(15);
  const Rgb palette[] = {kSkin, kBlueGrey, {200, 120, 90}, {224, 172, 140}, {90, 60, 40}, {255, 255, 255}};
  int found = 0;
  for (int round = 0; round < 300; ++round) {
    const int32_t width = 1 + static_cast<int32_t>(rng() % (round < 150 ? 90 : 420));
    const int32_t height = 1 + static_cast<int32_t>(rng() % (round < 150 ? 110 : 420));
    // Rectangles of colour on a backdrop, so some windows balance and some do not.
    TestPicture picture = make_picture(width, height, palette[rng() % 6]);
    for (int k = static_cast<int>(rng() % 6); k >= 0; --k) {
      const int32_t x0 = static_cast<int32_t>(rng() % width), y0 = static_cast<int32_t>(rng() % height);
      const int32_t x1 = x0 + static_cast<int32_t>(rng() % (width - x0)) + 1;
      const int32_t y1 = y0 + static_cast<int32_t>(rng() % (height - y0)) + 1;
      const Rgb c = palette[rng() % 6];
      for (int32_t y = y0; y < y1; ++y)
        for (int32_t x = x0; x < x1; ++x) picture.at(x, y) = c;
    }
    SCOPED_TRACE(testing::Message() << "round " << round << ", " << width << " x " << height);
    const std::optional<FaceRect> want = reference_search(picture), got = find(picture);
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!want) continue;
    ++found;
    EXPECT_EQ(got->x, want->x);
    EXPECT_EQ(got->y, want->y);
    EXPECT_EQ(got->width, want->width);
    EXPECT_EQ(got->height, want->height);
  }
  EXPECT_GT(found, 100);
}

} // namespace
} // namespace tavrin::face_hat

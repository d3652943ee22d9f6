#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "eye_detection.h"
#include "eye_maps.h"
#include "plain_eye_search.h"
#include "whole_picture_tables.h"
#include "fixtures.h"

namespace tavrin::sunglasses {
namespace {

using test::ImageBuffer;
using test::Rgb;

// Tables over given grey and eye-map values, as detect_eyes builds them.
struct Tables {
  Tables(int32_t width, int32_t height, const std::vector<uint8_t> &gray_map,
         const std::vector<uint8_t> &eye_map)
      : gray(build_integral(gray_map.data(), width, height)),
        gray_square(build_square_integral(gray_map.data(), width, height)),
        eye(build_integral(eye_map.data(), width, height)),
        view{gray.get(), gray_square.get(), eye.get(), width, height} {}
  SumTable gray, gray_square, eye;
  ScoreTables view;
};

// A neutral picture of grey v: every eye-map value is 15.
Tables uniform_tables(int32_t width, int32_t height, uint8_t v) {
  const size_t n = static_cast<size_t>(width) * height;
  return Tables(width, height, std::vector<uint8_t>(n, v), std::vector<uint8_t>(n, 15));
}

void expect_record(const EyeRecord &r, int32_t cx, int32_t cy, int32_t half_w, int32_t half_h) {
  EXPECT_EQ(r.cx, cx);
  EXPECT_EQ(r.cy, cy);
  EXPECT_EQ(r.half_w, half_w);
  EXPECT_EQ(r.half_h, half_h);
}

TEST(EyeMaps, KnownPixelValues) {
  EXPECT_EQ(gray_value(100, 150, 200), 159); // bytes are blue, green, red
  EXPECT_EQ(eye_map_value(100, 150, 200), 5);
  EXPECT_EQ(gray_value(255, 0, 0), 29);
  EXPECT_EQ(eye_map_value(255, 0, 0), 85);
  EXPECT_EQ(gray_value(255, 255, 255), 255);
  for (int v : {0, 1, 12, 77, 128, 200, 254, 255}) EXPECT_EQ(eye_map_value(v, v, v), 15) << v;
  // The weights add up to a hair below 1 for some greys, and the sum is truncated.
  EXPECT_EQ(gray_value(100, 100, 100), 100);
  EXPECT_EQ(gray_value(254, 254, 254), 253);
  EXPECT_EQ(gray_value(23, 23, 23), 22);
  EXPECT_EQ(eye_map_value(0, 0, 255), 0);   // red: Cr clamps to 255
  EXPECT_EQ(eye_map_value(255, 0, 255), 1); // magenta: Cb 212.405, Cr 234.845
}

TEST(EyeMaps, RowsOfValuesMatchSinglePixels) {
  // Every colour, in rows of odd and even lengths.
  std::vector<uint8_t> px(3 * 4099), gray(4099), eye(4099);
  for (uint32_t start = 0; start < (1u << 24); start += 4099) {
    const int n = static_cast<int>(std::min<uint32_t>(4099, (1u << 24) - start));
    for (int i = 0; i < n; ++i) {
      const uint32_t c = start + static_cast<uint32_t>(i);
      px[3 * i] = static_cast<uint8_t>(c), px[3 * i + 1] = static_cast<uint8_t>(c >> 8),
      px[3 * i + 2] = static_cast<uint8_t>(c >> 16);
    }
    gray_and_eye_values(px.data(), n, gray.data(), eye.data());
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(gray[i], gray_value(px[3 * i], px[3 * i + 1], px[3 * i + 2])) << start + i;
      ASSERT_EQ(eye[i], eye_map_value(px[3 * i], px[3 * i + 1], px[3 * i + 2])) << start + i;
    }
  }
}

TEST(EyeMaps, MapsFollowPixelOrder) {
  ImageBuffer buffer(tavrin::test::make_picture(3, 2, [](int x, int y) {
    return Rgb{static_cast<uint8_t>(200 * (x == 2)), 150, static_cast<uint8_t>(100 + y)};
  }));
  ByteMap gray = make_gray_map(buffer.image), eye = make_eye_map(buffer.image);
  for (int i = 0; i < 6; ++i) {
    const uint8_t *px = buffer.bytes.data() + 3 * i;
    EXPECT_EQ(gray[i], gray_value(px[0], px[1], px[2])) << i;
    EXPECT_EQ(eye[i], eye_map_value(px[0], px[1], px[2])) << i;
  }
  EXPECT_EQ(gray[2], 159);
}

TEST(SummedArea, WindowSumsMatchDirectSums) {
  const int w = 5, h = 4;
  std::vector<uint8_t> map(w * h);
  for (int i = 0; i < w * h; ++i) map[i] = static_cast<uint8_t>(i * 37 % 256);
  SumTable sums = build_integral(map.data(), w, h), squares = build_square_integral(map.data(), w, h);
  for (int y0 = 0; y0 < h; ++y0)
    for (int y1 = y0; y1 < h; ++y1)
      for (int x0 = 0; x0 < w; ++x0)
        for (int x1 = x0; x1 < w; ++x1) {
          int64_t s = 0, q = 0;
          for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
              s += map[y * w + x];
              q += map[y * w + x] * map[y * w + x];
            }
          ASSERT_EQ(rect_sum(sums.get(), w, x0, y0, x1, y1), s) << x0 << "," << y0 << " " << x1 << "," << y1;
          ASSERT_EQ(rect_sum(squares.get(), w, x0, y0, x1, y1), q);
        }
}

TEST(SummedArea, BrightPicturesDoNotWrap) {
  const int w = 400, h = 300; // squares add up past 2^32
  std::vector<uint8_t> map(w * h, 255);
  SumTable squares = build_square_integral(map.data(), w, h);
  EXPECT_EQ(rect_sum(squares.get(), w, 0, 0, w - 1, h - 1), int64_t{65025} * w * h);
  EXPECT_EQ(rect_sum(squares.get(), w, 1, 1, w - 1, h - 1), int64_t{65025} * (w - 1) * (h - 1));
  SumTable sums = build_integral(map.data(), w, h);
  EXPECT_DOUBLE_EQ(window_variance(sums.get(), squares.get(), w, 0, 0, w - 1, h - 1), 0.0);
}

TEST(WindowScore, DarknessTextureAndEyeMap) {
  // Two columns of 0 beside two of 100: mean 50, variance 2500.
  const std::vector<uint8_t> gray = {0, 0, 100, 100, 0, 0, 100, 100};
  Tables t(4, 2, gray, std::vector<uint8_t>(8, 15));
  EXPECT_DOUBLE_EQ(window_variance(t.gray.get(), t.gray_square.get(), 4, 0, 0, 3, 1), 2500.0);
  EXPECT_DOUBLE_EQ(window_score(t.gray.get(), t.gray_square.get(), t.eye.get(), 4, 0, 0, 3, 1), -37.0);
  EXPECT_DOUBLE_EQ(window_score(t.gray.get(), t.gray_square.get(), t.eye.get(), 4, 2, 0, 3, 1), 88.0);
  // Empty windows.
  EXPECT_EQ(window_variance(t.gray.get(), t.gray_square.get(), 4, 2, 0, 1, 1), 0.0);
  EXPECT_EQ(window_score(t.gray.get(), t.gray_square.get(), t.eye.get(), 4, 2, 0, 1, 1), 1e30);
  EXPECT_EQ(window_score(t.gray.get(), t.gray_square.get(), t.eye.get(), 4, 0, 1, 3, 0), 1e30);
  // A uniform picture of grey v scores v - 12 everywhere.
  Tables u = uniform_tables(6, 6, 200);
  EXPECT_EQ(window_score(u.gray.get(), u.gray_square.get(), u.eye.get(), 6, 1, 2, 4, 5), 188.0);
}

TEST(EyeSearch, CoarsePassOfA200By240Face) {
  const SearchFrame frame = search_frame(FaceRect{0, 0, 200, 240});
  EXPECT_EQ(frame.y_top, 43);
  EXPECT_EQ(frame.y_bot, 124);
  EXPECT_EQ(frame.dy_min, -19);
  EXPECT_EQ(frame.dy_max, 19);
  const PassPlan plan = coarse_pass_plan(frame);
  std::vector<int32_t> widths, heights, steps;
  for (int32_t w = plan.w_first; w <= plan.w_last; w += plan.w_step) {
    widths.push_back(w);
    heights.push_back(eye_window_height(w));
    steps.push_back(position_step(plan, w));
  }
  EXPECT_EQ(widths, (std::vector<int32_t>{20, 27, 34, 41, 48, 55}));
  EXPECT_EQ(heights, (std::vector<int32_t>{9, 12, 15, 18, 21, 24}));
  EXPECT_EQ(steps, (std::vector<int32_t>{5, 6, 8, 10, 12, 13}));
  EXPECT_EQ(plan.y_first, 43);
  EXPECT_EQ(plan.y_end, 124);
  EXPECT_EQ(plan.x_first, 0);
  EXPECT_EQ(plan.x_end, 100);
  EXPECT_EQ(plan.rx_first, 75);
  EXPECT_EQ(plan.rx_end, 200);
}

TEST(EyeSearch, WindowSizeFloors) {
  const SearchFrame small = search_frame(FaceRect{3, 4, 20, 30});
  EXPECT_EQ(small.min_w, 4);
  EXPECT_EQ(small.max_w, 6);
  EXPECT_EQ(eye_window_height(4), 3);
  EXPECT_EQ(eye_window_height(8), 3);
  EXPECT_EQ(eye_window_height(9), 4);
  // Offsets truncate toward zero, so the range is symmetric.
  EXPECT_EQ(search_frame(FaceRect{0, 0, 20, 30}).dy_min, -2);
}

TEST(EyeSearch, FinePassAroundTheCoarseWinner) {
  const SearchFrame frame = search_frame(FaceRect{0, 0, 200, 240});
  const PassPlan plan = fine_pass_plan(frame, EyeRecord{50, 60, 10, 4, 0}, EyeRecord{130, 62, 10, 4, 0});
  EXPECT_EQ(plan.w_first, 10);
  EXPECT_EQ(plan.w_last, 30);
  EXPECT_EQ(position_step(plan, 30), 1);
  EXPECT_EQ(plan.x_first, 20);
  EXPECT_EQ(plan.x_end, 60);
  EXPECT_EQ(plan.rx_first, 100);
  EXPECT_EQ(plan.rx_end, 140);
  EXPECT_EQ(plan.y_first, 43); // the band's top is the lower bound
  EXPECT_EQ(plan.y_end, 80);
  EXPECT_EQ(fine_pass_plan(frame, EyeRecord{50, 60, 2, 1, 0}, EyeRecord{130, 62, 2, 1, 0}).w_first, 4);
}

TEST(EyeSearch, UniformBrightPictureTakesTheFirstUnpenalisedPair) {
  // Every window scores 88, so the first pair on one row, 0.4 face widths
  // apart, wins with total 176 and nothing can beat it.
  Tables t = uniform_tables(100, 100, 100);
  const EyePair pair = search_eye_pair_plain(t.view, FaceRect{0, 0, 100, 100});
  ASSERT_TRUE(pair.found);
  EXPECT_EQ(pair.total, 176.0);
  expect_record(pair.left, 5, 20, 5, 2);
  expect_record(pair.right, 45, 20, 5, 2);
  EXPECT_EQ(pair.left.score, 88.0);
}

TEST(EyeSearch, UniformDarkPictureTakesTheLargestPenalty) {
  // Below grey 12 the scores are negative and the penalties turn into bonuses.
  Tables t = uniform_tables(100, 100, 5);
  const EyePair pair = search_eye_pair_plain(t.view, FaceRect{0, 0, 100, 100});
  ASSERT_TRUE(pair.found);
  EXPECT_EQ(pair.right.cx - pair.left.cx, 60); // spacing 0.6 of the face width
  EXPECT_EQ(std::abs(pair.right.cy - pair.left.cy), 8);
}

TEST(EyeSearch, FinePassSkipsWindowsLeftOfThePicture) {
  // A window starting at column -5 would be summed from column 0 only and
  // look darker than any real window.
  Tables t = uniform_tables(100, 100, 200);
  const SearchFrame frame = search_frame(FaceRect{0, 0, 100, 100});
  PassPlan plan{10, 10, 1, true, -5, 20, 30, 60, 18, 40};
  EyePair best;
  scan_pass(t.view, frame, plan, best);
  ASSERT_TRUE(best.found);
  EXPECT_GE(best.left.cx - best.left.half_w, 0);
  EXPECT_EQ(best.left.score, 188.0);
}

TEST(EyeSearch, FixturePasses) {
  ImageBuffer buffer(test::make_face_picture());
  const BmpImage &image = buffer.image;
  ByteMap gray = make_gray_map(image), eye = make_eye_map(image);
  const int32_t w = image.width, h = image.height;
  SumTable g = build_integral(gray.get(), w, h), q = build_square_integral(gray.get(), w, h),
           e = build_integral(eye.get(), w, h);
  const ScoreTables tables{g.get(), q.get(), e.get(), w, h};
  const FaceRect face{8, 30, 61, 74};
  const SearchFrame frame = search_frame(face);
  EyePair coarse;
  scan_pass(tables, frame, coarse_pass_plan(frame), coarse);
  ASSERT_TRUE(coarse.found);
  expect_record(coarse.left, 30, 45, 3, 1);
  expect_record(coarse.right, 66, 50, 3, 1);

  EyeRecord left{-1, -1, -1, -1, -1}, right = left;
  ASSERT_EQ(detect_eyes(image, face, &left, &right), EyeDetection::kFound);
  EXPECT_EQ(left.cx, 33);
  EXPECT_EQ(left.cy, 45);
  EXPECT_EQ(right.cx, 64);
  EXPECT_EQ(right.cy, 48);
}

TEST(EyeSearch, FinePassRangesComeFromTheCoarseWinner) {
  // Skin with four dark spots. The fine pass improves on the coarse pair
  // early; ranges that followed each improvement would drift to a left eye
  // at (17, 26) instead.
  struct Spot { int x, y, rx, ry, v; };
  const Spot spots[] = {{31, 28, 7, 3, 54}, {15, 40, 1, 2, 9}, {15, 27, 6, 2, 88}, {37, 24, 2, 4, 26}};
  ImageBuffer buffer(tavrin::test::make_picture(64, 72, [&](int x, int y) {
    Rgb c = test::kSkin;
    for (const Spot &s : spots)
      if (test::in_ellipse(x, y, s.x, s.y, s.rx, s.ry))
        c = Rgb{static_cast<uint8_t>(s.v), static_cast<uint8_t>(s.v), static_cast<uint8_t>(s.v + 10)};
    return c;
  }));
  ByteMap gray = make_gray_map(buffer.image), eye = make_eye_map(buffer.image);
  SumTable g = build_integral(gray.get(), 64, 72), q = build_square_integral(gray.get(), 64, 72),
           e = build_integral(eye.get(), 64, 72);
  const ScoreTables tables{g.get(), q.get(), e.get(), 64, 72};
  const FaceRect face{0, 0, 64, 72};
  const SearchFrame frame = search_frame(face);
  EyePair coarse;
  scan_pass(tables, frame, coarse_pass_plan(frame), coarse);
  expect_record(coarse.left, 13, 26, 3, 1);
  expect_record(coarse.right, 37, 25, 3, 1);
  const EyePair pair = search_eye_pair_plain(tables, face);
  expect_record(pair.left, 11, 27, 2, 1);
  expect_record(pair.right, 38, 22, 2, 1);
  EXPECT_LT(pair.total, coarse.total);
}

TEST(EyeSearch, NarrowFaceFindsNothingAndLeavesTheRecords) {
  ImageBuffer buffer(tavrin::test::make_picture(40, 40, Rgb{100, 100, 100}));
  EyeRecord left{7, 7, 7, 7, 7}, right = left;
  EXPECT_EQ(detect_eyes(buffer.image, FaceRect{5, 5, 7, 30}, &left, &right),
            EyeDetection::kNotFound);
  EXPECT_EQ(left.cx, 7);
  EXPECT_EQ(right.score, 7.0);
}

TEST(EyeSearch, UniformPictureRefinesToTheFirstFullPatch) {
  ImageBuffer buffer(tavrin::test::make_picture(100, 100, Rgb{100, 100, 100}));
  EyeRecord left{}, right{};
  ASSERT_EQ(detect_eyes(buffer.image, FaceRect{0, 0, 100, 100}, &left, &right),
            EyeDetection::kFound);
  // Radius 5 and patches of 5x5: the first candidate of each search square.
  expect_record(left, 2, 15, 5, 2);
  expect_record(right, 40, 15, 5, 2);
}

TEST(RefineEyeCenter, MovesToTheDarkestPatchInsideThePicture) {
  const int w = 20, h = 20;
  std::vector<uint8_t> gray(w * h, 200);
  for (int y = 6; y <= 8; ++y)
    for (int x = 12; x <= 14; ++x) gray[y * w + x] = 10;
  // Patches of 5x5 centred on columns 12..14 and rows 6..8 all hold the
  // whole dark square: the first of them in scan order wins.
  PixelPosition p = refine_eye_center_plain(gray.data(), w, h, 10, 10, 6);
  EXPECT_EQ(p.x, 12);
  EXPECT_EQ(p.y, 6);
  // One more dark pixel at (15, 8): only centres on columns 13..14 hold it all.
  gray[8 * w + 15] = 0;
  p = refine_eye_center_plain(gray.data(), w, h, 10, 10, 6);
  EXPECT_EQ(p.x, 13);
  EXPECT_EQ(p.y, 6);

  // Darkness in the corner: the patch must stay k = 2 pixels inside.
  std::vector<uint8_t> corner(w * h, 200);
  for (int y = 0; y <= 2; ++y)
    for (int x = 0; x <= 2; ++x) corner[y * w + x] = 0;
  p = refine_eye_center_plain(corner.data(), w, h, 5, 5, 5);
  EXPECT_EQ(p.x, 2);
  EXPECT_EQ(p.y, 2);

  // No 5x5 patch fits a 4x4 picture: the centre stays.
  p = refine_eye_center_plain(corner.data(), 4, 4, 1, 3, 3);
  EXPECT_EQ(p.x, 1);
  EXPECT_EQ(p.y, 3);
}

} // namespace
} // namespace tavrin::sunglasses

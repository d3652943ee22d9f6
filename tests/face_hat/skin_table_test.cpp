#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "hat_pictures.h"
#include "skin_table.h"

namespace tavrin::face_hat {
namespace {

using test::kBlueGrey;
using test::kSkin;
using test::make_picture;
using test::Rgb;
using test::TestPicture;

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

// The masks come from whole numbers and a shortcut for blocks without a
// candidate; they must give the double rule's answer for all 2^24 colours, in
// rows of an odd length so the tail is covered too.
TEST(SkinRule, MasksAgreeWithTheRuleForEveryColour) {
  constexpr int kRow = 4099;
  std::vector<uint8_t> rgb(3 * kRow);
  std::vector<uint16_t> masks((kRow + 15) / 16);
  for (uint32_t start = 0; start < (1u << 24); start += kRow) {
    const int n = static_cast<int>(std::min<uint32_t>(kRow, (1u << 24) - start));
    for (int i = 0; i < n; ++i) {
      const uint32_t c = start + static_cast<uint32_t>(i);
      rgb[3 * i] = static_cast<uint8_t>(c >> 16);
      rgb[3 * i + 1] = static_cast<uint8_t>(c >> 8);
      rgb[3 * i + 2] = static_cast<uint8_t>(c);
    }
    skin_masks(rgb.data(), n, masks.data());
    for (int i = 0; i < n; ++i)
      ASSERT_EQ((masks[i / 16] >> (i % 16)) & 1, is_skin_ycbcr(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]) ? 1 : 0)
          << start + i;
    const int tail = n % 16;
    if (tail != 0) {
      ASSERT_EQ(masks[n / 16] >> tail, 0) << "bits past the end";
    }
  }
}

std::vector<uint8_t> all_kept(int32_t n) { return std::vector<uint8_t>(static_cast<size_t>(n), 1); }

TEST(SkinTable, RectSumCountsSkinInEveryRectangle) {
  const int w = 37, h = 5; // more than two blocks of sixteen per row
  TestPicture picture = make_picture(w, h, [](int x, int y) {
    return (x * 3 + y * 5) % 4 == 0 || x == y ? kSkin : kBlueGrey;
  });
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  SkinTable table;
  ASSERT_TRUE(build_skin_table(buffer.data(), w, h, all_kept(w).data(), all_kept(h).data(), table));
  for (int y0 = 0; y0 < h; ++y0)
    for (int y1 = y0; y1 < h; ++y1)
      for (int x0 = 0; x0 < w; ++x0)
        for (int x1 = x0; x1 < w; ++x1) {
          int count = 0;
          for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) count += picture.at(x, y) == kSkin;
          ASSERT_EQ(rect_sum(table, x0, y0, x1, y1), count) << x0 << "," << y0 << " to " << x1 << "," << y1;
        }
}

TEST(SkinTable, KeptCellsHoldTheFullTablesCounts) {
  const int w = 50, h = 9;
  TestPicture picture = make_picture(w, h, [](int x, int y) { return (x + 2 * y) % 3 != 0 ? kSkin : kBlueGrey; });
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  SkinTable full, sparse;
  ASSERT_TRUE(build_skin_table(buffer.data(), w, h, all_kept(w).data(), all_kept(h).data(), full));
  std::vector<uint8_t> columns(w, 0), rows(h, 0);
  for (int x : {0, 4, 17, 31, 32}) columns[x] = 1; // nothing past 32 is read
  for (int y : {2, 3, 6}) rows[y] = 1;             // nor below row 6
  ASSERT_TRUE(build_skin_table(buffer.data(), w, h, columns.data(), rows.data(), sparse));
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      if (columns[x] && rows[y]) {
        EXPECT_EQ(sparse.at(x, y), full.at(x, y)) << x << "," << y;
      }
}

TEST(SkinTable, RectanglesWithoutColumnsOrRowsSumToZeroAndReadNothing) {
  TestPicture picture = make_picture(3, 3, kSkin);
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  const std::vector<uint8_t> none(3, 0);
  SkinTable table;
  ASSERT_TRUE(build_skin_table(buffer.data(), 3, 3, none.data(), none.data(), table));
  EXPECT_EQ(rect_sum(table, 0, 0, -1, 2), 0.0); // left of column 0
  EXPECT_EQ(rect_sum(table, 2, 0, 1, 2), 0.0);
  EXPECT_EQ(rect_sum(table, 0, 0, 2, -1), 0.0); // above row 0
  EXPECT_EQ(rect_sum(table, 1, 2, 1, 1), 0.0);
}

} // namespace
} // namespace tavrin::face_hat

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "beard_canvas.h"
#include "face_projection.h"

namespace tavrin::beard::test {
namespace {

// The skin rule as stated, one condition per line.
bool skin_as_stated(int r, int g, int b) {
  const int mx = std::max({r, g, b}), mn = std::min({r, g, b});
  return r >= 96 && g >= 41 && b >= 21 && mx - mn >= 16 && r > g && r > b && r - g >= 16;
}

TEST(SkinRule, MatchesTheStatedRuleForEveryColour) {
  EXPECT_TRUE(is_skin_rgb(96, 41, 21));
  EXPECT_FALSE(is_skin_rgb(95, 41, 21));
  EXPECT_FALSE(is_skin_rgb(120, 105, 60)); // R - G is only 15
  int mismatches = 0;
  for (int r = 0; r < 256; ++r)
    for (int g = 0; g < 256; ++g)
      for (int b = 0; b < 256; ++b) mismatches += is_skin_rgb(r, g, b) != skin_as_stated(r, g, b);
  EXPECT_EQ(mismatches, 0);
}

// The row and column counters classify several pixels at once; every colour,
// at every position within a group and in the leftover pixels of a row, must
// count exactly as the single-pixel rule says.
TEST(SkinRule, RowAndColumnCountersAgreeWithThePixelRule) {
  std::vector<uint8_t> row;
  std::vector<int32_t> columns;
  for (int r = 0; r < 256; ++r) {
    const int lead = r % 7; // shifts the colours against the groups
    row.assign(3 * (lead + 65536), uint8_t(r));
    for (int i = 0; i < 65536; ++i) {
      row[3 * (lead + i)] = uint8_t(i);          // blue
      row[3 * (lead + i) + 1] = uint8_t(i >> 8); // green
    }
    const int32_t width = lead + 65536;
    columns.assign(width, 5);
    add_skin_columns(row.data(), width, columns.data());
    int32_t expected_total = 0, wrong_columns = 0;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t *px = &row[3 * x];
      const bool skin = is_skin_rgb(px[2], px[1], px[0]);
      expected_total += skin;
      wrong_columns += columns[x] != 5 + skin;
    }
    ASSERT_EQ(wrong_columns, 0) << "red " << r;
    ASSERT_EQ(count_skin(row.data(), width), expected_total) << "red " << r;
    for (int32_t w = 0; w <= 16; ++w) { // short rows: mostly leftover pixels
      const uint8_t *start = row.data() + 3 * 25000;
      int32_t n = 0;
      for (int32_t x = 0; x < w; ++x) n += is_skin_rgb(start[3 * x + 2], start[3 * x + 1], start[3 * x]);
      ASSERT_EQ(count_skin(start, w), n) << w;
    }
  }
}

TEST(SkinRule, CountersStayInsideTheRowAndCountLongSkinRows) {
  // The row ends right before a page that cannot be read.
  const long page = sysconf(_SC_PAGESIZE);
  auto *base = static_cast<uint8_t *>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  std::vector<int32_t> columns(page);
  for (int32_t w = 1; w <= 60; ++w) {
    uint8_t *row = base + page - 3 * w;
    for (int32_t i = 0; i < 3 * w; i += 3) row[i] = 110, row[i + 1] = 140, row[i + 2] = 200;
    EXPECT_EQ(count_skin(row, w), w);
    std::fill(columns.begin(), columns.end(), 0);
    add_skin_columns(row, w, columns.data());
    EXPECT_EQ(std::count(columns.begin(), columns.begin() + w, 1), w);
  }
  munmap(base, 2 * page);
  // Far more skin pixels in a row than a byte can count.
  std::vector<uint8_t> wide(3 * 5000);
  for (size_t i = 0; i < wide.size(); i += 3) wide[i] = 110, wide[i + 1] = 140, wide[i + 2] = 200;
  EXPECT_EQ(count_skin(wide.data(), 5000), 5000);
}

TEST(LongestRun, FirstOfEqualRunsWinsAndThresholdCounts) {
  const int32_t two_equal[] = {5, 5, 4, 5, 5};
  EXPECT_EQ(longest_run(two_equal, 5, 5).start, 0);
  EXPECT_EQ(longest_run(two_equal, 5, 5).length, 2);
  const int32_t later_longer[] = {9, 0, 7, 7, 7, 0, 8, 8};
  EXPECT_EQ(longest_run(later_longer, 8, 7).start, 2);
  EXPECT_EQ(longest_run(later_longer, 8, 7).length, 3);
  const int32_t none[] = {1, 2, 3};
  EXPECT_EQ(longest_run(none, 3, 4).length, 0);
  EXPECT_EQ(longest_run(none, 3, 4).start, 0);
  EXPECT_EQ(longest_run(none, 3, 0).length, 3); // threshold 0: every index qualifies
}

// `skin(x, y)` decides which pixels are skin on a plain wall.
template <class F> bool find_in(int w, int h, F skin, FaceRect &face) {
  Canvas canvas(tavrin::test::make_picture(w, h, [&](int x, int y) { return skin(x, y) ? kSkin : kWall; }));
  BmpImage image = canvas.image();
  return find_face_rect(image, face) == FaceSearch::kFound;
}

TEST(FaceSearch, NeedsThreeHundredSkinPixels) {
  FaceRect face{-1, -1, -1, -1};
  EXPECT_TRUE(find_in(30, 20, [](int, int y) { return y < 10; }, face));
  EXPECT_EQ(face.x, 0);
  EXPECT_EQ(face.y, 0);
  EXPECT_EQ(face.width, 30);
  EXPECT_EQ(face.height, 10);
  face = FaceRect{-1, -2, -3, -4};
  EXPECT_FALSE(find_in(30, 20, [](int x, int y) { return y < 10 && !(x == 7 && y == 3); }, face));
  EXPECT_EQ(face.x, -1); // untouched
  EXPECT_EQ(face.height, -4);
}

TEST(FaceSearch, WholeSkinPictureAndNarrowPictures) {
  FaceRect face{};
  EXPECT_TRUE(find_in(20, 20, [](int, int) { return true; }, face));
  EXPECT_EQ(face.width, 20);
  EXPECT_EQ(face.height, 20);
  EXPECT_FALSE(find_in(9, 60, [](int, int) { return true; }, face)); // 540 skin pixels, 9 columns
}

TEST(FaceSearch, UpperBandAndLeftColumnsWinTies) {
  FaceRect face{};
  // Two 12-row bands split by one thin row, each with two 11-wide column runs.
  auto skin = [](int x, int y) {
    bool band = (y >= 5 && y < 17) || (y >= 18 && y < 30);
    bool cols = (x >= 3 && x < 14) || (x >= 20 && x < 31);
    return band && cols;
  };
  ASSERT_TRUE(find_in(40, 40, skin, face));
  EXPECT_EQ(face.y, 5);
  EXPECT_EQ(face.height, 12);
  EXPECT_EQ(face.x, 3);
  EXPECT_EQ(face.width, 11);
}

TEST(FaceSearch, ColumnsCountOnlyInsideTheBand) {
  FaceRect face{};
  // Band rows 10..29 cover columns 20..39; shorter bands above and below it
  // cover the first 20 columns; counted, they would widen the run to 40.
  auto skin = [](int x, int y) {
    return (y >= 10 && y < 30 && x >= 20 && x < 40) || ((y < 6 || (y >= 40 && y < 46)) && x < 20);
  };
  ASSERT_TRUE(find_in(60, 60, skin, face));
  EXPECT_EQ(face.x, 20);
  EXPECT_EQ(face.width, 20);
  EXPECT_EQ(face.y, 10);
  EXPECT_EQ(face.height, 20);
}

} // namespace
} // namespace tavrin::beard::test

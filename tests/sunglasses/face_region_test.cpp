#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "face_region.h"
#include "skin_scan.h"
#include "fixtures.h"

namespace tavrin::sunglasses {
namespace {

using test::ImageBuffer;
using test::Rgb;
using test::TestPicture;

constexpr Rgb kNotSkin{40, 60, 200};

bool skin(Rgb c) { return is_skin_pixel(c.b, c.g, c.r); }

FaceRect face_of(const TestPicture &picture) {
  ImageBuffer buffer(picture);
  return detect_face_region(buffer.image);
}

// A picture of `kNotSkin` with skin wherever `is_skin(x, y)` holds.
template <typename Pred>
TestPicture skin_where(int width, int height, Pred is_skin) {
  return tavrin::test::make_picture(width, height, [&](int x, int y) {
    return is_skin(x, y) ? test::kSkin : kNotSkin;
  });
}

TEST(SkinRule, KnownColours) {
  EXPECT_TRUE(skin({200, 150, 120}));  // rule A
  EXPECT_TRUE(skin({90, 70, 50}));     // rule B: red share 90/211, green 70/211
  EXPECT_FALSE(skin({250, 60, 40}));   // spread 210, red share 0.71
  EXPECT_TRUE(skin({96, 41, 21}));     // rule A at its lower bounds
  EXPECT_FALSE(skin({95, 41, 21}));    // not A; red share 0.60 is too much for B
  EXPECT_FALSE(skin({200, 150, 200})); // red must exceed blue in both rules
  EXPECT_TRUE(skin({61, 60, 40}));     // B: 61/162 = 0.377, 60/162 = 0.370
  EXPECT_FALSE(skin({61, 30, 40}));    // B needs green above 30
  EXPECT_FALSE(skin({60, 50, 40}));    // B needs red above 60
  EXPECT_FALSE(skin({255, 255, 255}));
  EXPECT_FALSE(skin({0, 0, 0}));
}

// The two rules word for word, to check the rearranged ones against.
bool skin_as_written(int r, int g, int b) {
  const int spread = std::max({r, g, b}) - std::min({r, g, b});
  if (r > 95 && g > 40 && b > 20 && r > g && r > b && r - g > 15 && r - b > 15 && spread > 15 &&
      spread < 170)
    return true;
  if (!(r > 60 && g > 30 && b > 15 && r > b)) return false;
  const double k = 1.0 / ((r + g + b) + 1.0);
  const double rs = r * k, gs = g * k;
  return 0.35 < rs && rs < 0.55 && 0.2 < gs && gs < 0.4;
}

TEST(SkinRule, EveryColourAsWritten) {
  for (int r = 0; r < 256; ++r)
    for (int g = 0; g < 256; ++g)
      for (int b = 0; b < 256; ++b)
        ASSERT_EQ(is_skin_pixel(static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r)),
                  skin_as_written(r, g, b))
            << r << "," << g << "," << b;
}

// The block rule works on whole numbers with shortcuts; for all 2^24
// colours (colour c at position c mod 16 of its block) it must give the
// rule's answer.
TEST(SkinRule, BlocksAgreeWithTheRuleForEveryColour) {
  std::vector<uint8_t> block(48 * 1024);
  for (uint32_t start = 0; start < (1u << 24); start += 16 * 1024) {
    for (uint32_t i = 0; i < 16 * 1024; ++i) {
      const uint32_t c = start + i;
      block[3 * i] = static_cast<uint8_t>(c);
      block[3 * i + 1] = static_cast<uint8_t>(c >> 8);
      block[3 * i + 2] = static_cast<uint8_t>(c >> 16);
    }
    for (uint32_t k = 0; k < 1024; ++k) {
      const uint8_t *px = block.data() + 48 * k;
      const uint32_t mask = skin_block_mask(px);
      for (int i = 0; i < 16; ++i)
        ASSERT_EQ((mask >> i) & 1, is_skin_pixel(px[3 * i], px[3 * i + 1], px[3 * i + 2]) ? 1u : 0u)
            << "blue " << int{px[3 * i]} << " green " << int{px[3 * i + 1]} << " red " << int{px[3 * i + 2]};
      ASSERT_EQ(mask >> 16, 0u);
    }
  }
}

TEST(SkinRule, RunsCountLikeSinglePixels) {
  // Channels drawn near the rules' thresholds, so both rules flip often.
  const uint8_t near[] = {0, 14, 15, 16, 20, 21, 30, 31, 40, 41, 56, 60, 61, 95, 96, 97, 111, 112,
                          150, 169, 170, 185, 186, 200, 240, 255};
  uint64_t state = 12345;
  auto next = [&] { return state = state * 6364136223846793005u + 1442695040888963407u, state >> 33; };
  std::vector<uint8_t> row;
  for (int trial = 0; trial < 3000; ++trial) {
    const int n = static_cast<int>(next() % 70);
    row.assign(static_cast<size_t>(n) * 3, 0);
    for (uint8_t &b : row) b = next() % 3 ? near[next() % sizeof near] : static_cast<uint8_t>(next());
    int count = 0, first = -1, last = -1;
    for (int i = 0; i < n; ++i)
      if (is_skin_pixel(row[3 * i], row[3 * i + 1], row[3 * i + 2])) {
        ++count;
        if (first < 0) first = i;
        last = i;
      }
    // The run ends exactly where the vector reads it: nothing beyond is read.
    std::vector<uint8_t> exact(row.begin(), row.end());
    const SkinRun run = scan_skin_run(exact.data(), n);
    ASSERT_EQ(run.count, count) << trial;
    ASSERT_EQ(run.first, first) << trial;
    ASSERT_EQ(run.last, last) << trial;
    // Followed by readable skin, which the last block reads and must drop.
    std::vector<uint8_t> longer(row.begin(), row.end());
    for (int i = 0; i < 16; ++i) longer.insert(longer.end(), {120, 140, 200});
    const SkinRun more = scan_skin_run(longer.data(), n, n + 16);
    ASSERT_EQ(more.count, count) << trial;
    ASSERT_EQ(more.first, first) << trial;
    ASSERT_EQ(more.last, last) << trial;
  }
}

// The face region as written: every pixel classified again in the window.
FaceRect face_region_as_written(const BmpImage &image) {
  const int W = image.width, H = image.height;
  const int cw = std::max(W / 12, 1), ch = std::max(H / 12, 1);
  const int gw = (W + cw - 1) / cw, gh = (H + ch - 1) / ch;
  std::vector<int> grid(gw * gh, 0);
  auto skin_at = [&](int x, int y) {
    const uint8_t *p = image.pixels + (static_cast<size_t>(y) * W + x) * 3;
    return is_skin_pixel(p[0], p[1], p[2]);
  };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) grid[(y / ch) * gw + x / cw] += skin_at(x, y);
  int best = 0, br = gh / 3, bc = gw / 2;
  for (int i = 1; i <= gh - 2; ++i)
    for (int j = 1; j <= gw - 2; ++j) {
      int sum = 0;
      for (int a = -1; a <= 1; ++a)
        for (int b = -1; b <= 1; ++b) sum += grid[(i + a) * gw + j + b];
      if (sum > best) best = sum, br = i, bc = j;
    }
  if (best < (9 * cw * ch) / 8) return fallback_face_region(W, H);
  const int x0 = std::max((bc - 3) * cw, 0), y0 = std::max((br - 3) * ch, 0);
  const int x1 = std::min((bc + 4) * cw, W), y1 = std::min((br + 4) * ch, H);
  int count = 0, min_x = x1, max_x = x0, min_y = y1, max_y = y0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (skin_at(x, y)) {
        ++count;
        min_x = std::min(min_x, x), max_x = std::max(max_x, x);
        min_y = std::min(min_y, y), max_y = std::max(max_y, y);
      }
  if (count <= 10) return fallback_face_region(W, H);
  const int m = (max_x - min_x) / 8;
  FaceRect f;
  f.x = std::max(min_x - m, 0);
  f.y = std::max(min_y - m, 0);
  f.width = max_x + m > W ? W - f.x : max_x + m - f.x;
  f.height = max_y + m > H ? H - f.y : max_y + m - f.y;
  return f;
}

TEST(FaceRegion, SameAsWrittenOnRandomPictures) {
  // Wide pictures keep each cell's run from the grid pass; narrow ones scan
  // the window again. Both must give the rectangle of the rule as written.
  uint64_t state = 77;
  auto next = [&] { return state = state * 6364136223846793005u + 1442695040888963407u, state >> 33; };
  for (int n = 0; n < 300; ++n) {
    const int w = 8 + static_cast<int>(next() % 180), h = 8 + static_cast<int>(next() % 150);
    const int cx = static_cast<int>(next() % w), cy = static_cast<int>(next() % h);
    const int rx = 2 + static_cast<int>(next() % (w / 2 + 1)), ry = 2 + static_cast<int>(next() % (h / 2 + 1));
    const bool noisy = next() % 2;
    TestPicture p = tavrin::test::make_picture(w, h, [&](int x, int y) {
      if (noisy && next() % 5 == 0) return Rgb{static_cast<uint8_t>(next()), static_cast<uint8_t>(next()), static_cast<uint8_t>(next())};
      return test::in_ellipse(x, y, cx, cy, rx, ry) ? test::kSkin : kNotSkin;
    });
    ImageBuffer buffer(p);
    ASSERT_EQ(detect_face_region(buffer.image), face_region_as_written(buffer.image)) << n << ": " << w << "x" << h;
  }
}

TEST(FaceRegion, NoSkinGivesTheFallback) {
  EXPECT_EQ(face_of(tavrin::test::make_picture(120, 96, kNotSkin)), (FaceRect{20, 12, 80, 72}));
  EXPECT_EQ(fallback_face_region(7, 5), (FaceRect{1, 0, 4, 3}));
}

TEST(FaceRegion, GridsWithoutAFullBlockGiveTheFallback) {
  // Two columns of one-pixel cells: no 3x3 block fits, however much skin.
  EXPECT_EQ(face_of(skin_where(2, 40, [](int, int) { return true; })), (FaceRect{0, 5, 1, 30}));
  EXPECT_EQ(face_of(skin_where(40, 2, [](int, int) { return true; })), (FaceRect{6, 0, 26, 1}));
}

TEST(FaceRegion, SmallPicturesUseOnePixelCells) {
  // 10x10 skin: every block holds 9, the first one (row 1, column 1) wins,
  // and the search window covers columns and rows 0..4.
  EXPECT_EQ(face_of(skin_where(10, 10, [](int, int) { return true; })), (FaceRect{0, 0, 4, 4}));
}

TEST(FaceRegion, ElevenSkinPixelsAreNeededForABox) {
  // 12x12, one-pixel cells: a 3x3 patch centred on (5, 5) plus one pixel at
  // (3, 3) is 10 skin pixels in the window of columns and rows 2..8.
  auto ten = [](int x, int y) { return (x >= 4 && x <= 6 && y >= 4 && y <= 6) || (x == 3 && y == 3); };
  EXPECT_EQ(face_of(skin_where(12, 12, ten)), (FaceRect{2, 1, 8, 9}));
  auto eleven = [&](int x, int y) { return ten(x, y) || (x == 8 && y == 8); };
  EXPECT_EQ(face_of(skin_where(12, 12, eleven)), (FaceRect{3, 3, 5, 5}));
}

TEST(FaceRegion, EqualBlocksUpperThenLeftWins) {
  // 48x48 in 4x4 cells; each blob fills exactly one 3x3 block of cells.
  auto blob = [](int x, int y, int row, int col) {
    return y >= (row - 1) * 4 && y < (row + 2) * 4 && x >= (col - 1) * 4 && x < (col + 2) * 4;
  };
  // Upper blob on the right against lower blob on the left: the upper wins.
  EXPECT_EQ(face_of(skin_where(48, 48, [&](int x, int y) { return blob(x, y, 3, 8) || blob(x, y, 8, 2); })),
            (FaceRect{27, 7, 13, 13}));
  // Same cell row: the left one wins.
  EXPECT_EQ(face_of(skin_where(48, 48, [&](int x, int y) { return blob(x, y, 5, 2) || blob(x, y, 5, 9); })),
            (FaceRect{3, 15, 13, 13}));
}

TEST(FaceRegion, MarginStopsAtThePictureEdges) {
  // Skin in the bottom-right corner: the box plus margin passes both edges.
  const FaceRect corner = face_of(skin_where(48, 48, [](int x, int y) { return x >= 30 && y >= 30; }));
  EXPECT_EQ(corner, (FaceRect{28, 28, 20, 20}));
  // Skin from the top-left corner: the margin would start left of column 0.
  const FaceRect origin = face_of(skin_where(48, 48, [](int x, int y) { return x < 18 && y < 18; }));
  EXPECT_EQ(origin.x, 0);
  EXPECT_EQ(origin.y, 0);
}

TEST(FaceRegion, FindsTheFixtureFace) {
  EXPECT_EQ(face_of(test::make_face_picture()), (FaceRect{8, 30, 61, 74}));
}

} // namespace
} // namespace tavrin::sunglasses

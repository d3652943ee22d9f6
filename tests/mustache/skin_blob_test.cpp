#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "picture_helpers.h"
#include "skin_blob.h"

namespace tavrin::mustache {
namespace {

using test::kBackdrop;
using test::kSkin;
using test::make_image;
using test::skin_rect;

struct BlobResult {
  bool found = false;
  int32_t cx = -1, top = -1, w = -1;
};

BlobResult find_blob(const RgbImage &image) {
  BlobResult r;
  testing::internal::CaptureStderr();
  r.found = find_skin_blob(image, &r.cx, &r.top, &r.w);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  return r;
}

TEST(SkinRule, EveryComparisonIsStrict) {
  EXPECT_TRUE(is_skin_pixel(220, 160, 120));
  EXPECT_TRUE(is_skin_pixel(96, 41, 21));
  EXPECT_FALSE(is_skin_pixel(95, 41, 21));  // R > 95
  EXPECT_FALSE(is_skin_pixel(96, 40, 21));  // G > 40
  EXPECT_FALSE(is_skin_pixel(96, 41, 20));  // B > 20
  EXPECT_FALSE(is_skin_pixel(120, 105, 104)); // |R - G| = 15
  EXPECT_TRUE(is_skin_pixel(121, 105, 104));
  EXPECT_FALSE(is_skin_pixel(200, 100, 200)); // R not above B
  EXPECT_FALSE(is_skin_pixel(100, 200, 50));  // R not above G
  EXPECT_FALSE(is_skin_pixel(kBackdrop.r, kBackdrop.g, kBackdrop.b));
}

TEST(SkinRule, RowsLabelEveryColourLikeSinglePixels) {
  // All 2^24 colours, in rows of an odd length so the tail is covered too.
  constexpr int kRow = 4099;
  std::vector<uint8_t> rgb(3 * kRow);
  std::vector<int16_t> labels(kRow);
  for (uint32_t start = 0; start < (1u << 24); start += kRow) {
    const int n = static_cast<int>(std::min<uint32_t>(kRow, (1u << 24) - start));
    for (int i = 0; i < n; ++i) {
      const uint32_t c = start + static_cast<uint32_t>(i);
      rgb[3 * i] = static_cast<uint8_t>(c >> 16);
      rgb[3 * i + 1] = static_cast<uint8_t>(c >> 8);
      rgb[3 * i + 2] = static_cast<uint8_t>(c);
    }
    classify_skin(rgb.data(), static_cast<size_t>(n), labels.data());
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(labels[i], is_skin_pixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]) ? kUnlabelledSkin : kNotSkin)
          << start + i;
  }
}

TEST(SkinBlob, RectangleGivesCentreTopAndWidth) {
  // 20 x 30 at columns 31..50, rows 40..69 of a 100 x 100 picture.
  RgbImagePtr image = make_image(100, 100, skin_rect(31, 40, 51, 70));
  BlobResult r = find_blob(*image);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.cx, 31 + 9);
  EXPECT_EQ(r.top, 40);
  EXPECT_EQ(r.w, 20);

  RgbImagePtr none = make_image(100, 100, [](int, int) { return kBackdrop; });
  EXPECT_FALSE(find_blob(*none).found);
}

TEST(SkinBlob, NeedsMoreThanOneFiveHundredthOfThePicture) {
  // 100 x 100 picture: more than 20 pixels. 4 x 5 = 20 is not enough; one more
  // pixel below it (a 4 x 6 box, fill 21/24) is.
  RgbImagePtr twenty = make_image(100, 100, skin_rect(10, 10, 14, 15));
  EXPECT_FALSE(find_blob(*twenty).found);
  RgbImagePtr twenty_one = make_image(100, 100, [](int x, int y) {
    return (x >= 10 && x < 14 && y >= 10 && y < 15) || (x == 10 && y == 15) ? kSkin : kBackdrop;
  });
  EXPECT_TRUE(find_blob(*twenty_one).found);
}

TEST(SkinBlob, AspectBoundsAreInclusive) {
  struct Case {
    int bw, bh;
    bool chosen;
  };
  for (Case c : {Case{9, 30, true}, Case{25, 10, true}, Case{10, 40, false}, Case{30, 10, false},
                 Case{8, 30, false}, Case{26, 10, false}}) {
    SCOPED_TRACE(std::to_string(c.bw) + ":" + std::to_string(c.bh));
    RgbImagePtr image = make_image(60, 60, skin_rect(5, 5, 5 + c.bw, 5 + c.bh));
    EXPECT_EQ(find_blob(*image).found, c.chosen);
  }
}

TEST(SkinBlob, FillOfExactlyOneFifthQualifies) {
  // An L in a 10 x 10 box: top row and left column make 19 pixels; one more
  // inside the corner makes 20 = a fifth of the box.
  auto l_shape = [](bool corner) {
    return [corner](int x, int y) {
      const int u = x - 5, v = y - 5;
      bool on = u >= 0 && u < 10 && v >= 0 && v < 10 && (v == 0 || u == 0 || (corner && u == 1 && v == 1));
      return on ? kSkin : kBackdrop;
    };
  };
  EXPECT_FALSE(find_blob(*make_image(50, 50, l_shape(false))).found);
  BlobResult r = find_blob(*make_image(50, 50, l_shape(true)));
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.w, 10);

  // A staircase is 4-connected but fills too little of its box.
  RgbImagePtr stairs = make_image(120, 120, [](int x, int y) {
    return (x == y || x == y + 1) && x < 100 ? kSkin : kBackdrop;
  });
  EXPECT_FALSE(find_blob(*stairs).found);
}

TEST(SkinBlob, LargestWinsAndTheFirstOfEqualCounts) {
  // Two 10 x 10 squares: the one reached first in the row scan wins a tie,
  // even though it lies further right.
  RgbImagePtr tie = make_image(100, 100, [](int x, int y) {
    bool a = x >= 70 && x < 80 && y >= 10 && y < 20, b = x >= 10 && x < 20 && y >= 15 && y < 25;
    return a || b ? kSkin : kBackdrop;
  });
  BlobResult r = find_blob(*tie);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.cx, 74);
  EXPECT_EQ(r.top, 10);

  // One more pixel makes the later square the larger.
  RgbImagePtr bigger = make_image(100, 100, [](int x, int y) {
    bool a = x >= 70 && x < 80 && y >= 10 && y < 20, b = x >= 10 && x < 20 && y >= 15 && y < 25;
    return a || b || (x == 10 && y == 25) ? kSkin : kBackdrop;
  });
  r = find_blob(*bigger);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.cx, 14);
  EXPECT_EQ(r.top, 15);
}

TEST(SkinBlob, FaceWidthIsTheOuterSpanOverTheUpperHalf) {
  // A ring of outer radius 20 and inner radius 14 around (30, 30): the rows
  // through its hole span 41 columns though no solid run is wider than 27.
  RgbImagePtr ring = make_image(60, 60, [](int x, int y) {
    const int d = (x - 30) * (x - 30) + (y - 30) * (y - 30);
    return d > 14 * 14 && d <= 20 * 20 ? kSkin : kBackdrop;
  });
  BlobResult r = find_blob(*ring);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.top, 10);
  EXPECT_EQ(r.cx, 30);
  EXPECT_EQ(r.w, 41);

  // Only the upper half counts: rows 0 .. (29 * 50) / 100 = 14 of a blob 30
  // rows high. A wide foot from row 15 on does not widen the face.
  RgbImagePtr foot = make_image(80, 60, [](int x, int y) {
    bool body = x >= 30 && x < 42 && y >= 5 && y < 35;
    bool wide = x >= 20 && x < 52 && y >= 20 && y < 35;
    bool step = x >= 26 && x < 46 && y == 19;
    return body || wide || step ? kSkin : kBackdrop;
  });
  r = find_blob(*foot);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.w, 20); // row 19 is in the upper half, rows 20.. are not
}

TEST(SkinBlob, FullStackDropsNeighboursButKeepsTheirLabel) {
  // Column 0 is skin on every row, column 1 down to row L - 1. Filling from
  // the top, each row leaves its column-1 pixel on the stack while the fill
  // runs down column 0, so the stack fills up exactly when (0, L) is found:
  // that pixel is labelled but neither pushed nor counted, and the rest of
  // column 0 becomes a blob of its own.
  const int32_t L = kStackLimit;
  const int32_t height = L + 10;
  RgbImagePtr image = make_image(2, height, [L](int x, int y) {
    return x == 0 || y < L ? kSkin : kBackdrop;
  });
  BlobSearch search;
  ASSERT_TRUE(allocate_blob_search(*image, search));
  label_skin_blobs(*image, search);
  ASSERT_EQ(search.blob_count, 2);
  const SkinBlob &first = search.blobs[0];
  EXPECT_EQ(first.count, 2 * L);
  EXPECT_EQ(first.minX, 0);
  EXPECT_EQ(first.maxX, 1);
  EXPECT_EQ(first.minY, 0);
  EXPECT_EQ(first.maxY, L - 1);
  EXPECT_EQ(search.labels[static_cast<size_t>(L) * 2], 0); // (0, L): labelled, dropped
  const SkinBlob &rest = search.blobs[1];
  EXPECT_EQ(rest.count, 9);
  EXPECT_EQ(rest.minY, L + 1);
  EXPECT_EQ(rest.maxY, height - 1);
  EXPECT_EQ(rest.minX, 0);
  EXPECT_EQ(rest.maxX, 0);
}

TEST(SkinBlob, NeighbourOrderDecidesWhichPixelsTheFullStackDrops) {
  // The fill starts at (1, 0) and runs down column 1 to row S = L, leaving
  // each row's left neighbour in column 0 on the stack, so the stack holds
  // L - 1 entries when (1, S) is taken. There the right neighbour (2, S) gets
  // the last slot before the left one (0, S); from (2, S) the fill reaches
  // P = (3, S), whose lower neighbour is pushed before the upper one. Dropped
  // pixels keep the label but cut off what lies beyond them.
  const int32_t L = kStackLimit, S = L;
  RgbImagePtr image = make_image(4, S + 6, [S](int x, int y) {
    bool on = (x == 0 && y >= 1 && y <= S) || (x == 1 && y <= S) || (x == 2 && y == S) ||
              (x == 3 && y >= S - 5);
    return on ? kSkin : kBackdrop;
  });
  BlobSearch search;
  ASSERT_TRUE(allocate_blob_search(*image, search));
  label_skin_blobs(*image, search);
  ASSERT_EQ(search.blob_count, 2);
  auto label = [&](int x, int y) { return search.labels[static_cast<size_t>(y) * 4 + x]; };
  const SkinBlob &first = search.blobs[0];
  // Column 1 (L + 1), column 0 without (0, S) (L - 1), (2, S), P, 5 below P.
  EXPECT_EQ(first.count, 2 * L + 7);
  EXPECT_EQ(first.minX, 0);
  EXPECT_EQ(first.maxX, 3);
  EXPECT_EQ(first.maxY, S + 5);
  EXPECT_EQ(label(0, S), 0);     // dropped at (1, S)
  EXPECT_EQ(label(3, S - 1), 0); // dropped at P
  const SkinBlob &above = search.blobs[1]; // what (3, S - 1) cut off
  EXPECT_EQ(above.count, 4);
  EXPECT_EQ(above.minX, 3);
  EXPECT_EQ(above.minY, S - 5);
  EXPECT_EQ(above.maxY, S - 2);
}

TEST(SkinBlob, OnlyTheFirst4096BlobsAreConsidered) {
  // 4160 single skin pixels in the top rows, then a large square that would
  // be the face: it comes after the 4096th blob, so no face is found.
  auto dots_and_square = [](int dot_rows) {
    return [dot_rows](int x, int y) {
      bool dot = y < 2 * dot_rows && y % 2 == 0 && x % 2 == 0;
      bool square = x >= 20 && x < 100 && y >= 140 && y < 220;
      return dot || square ? kSkin : kBackdrop;
    };
  };
  RgbImagePtr crowded = make_image(130, 240, dots_and_square(64)); // 65 x 64 dots
  BlobSearch search;
  ASSERT_TRUE(allocate_blob_search(*crowded, search));
  label_skin_blobs(*crowded, search);
  EXPECT_EQ(search.blob_count, kMaxBlobs);
  // Dot 4096 (row 126, column 2) is the first one left unlabelled.
  EXPECT_EQ(search.labels[126 * 130 + 0], kMaxBlobs - 1);
  EXPECT_EQ(search.labels[126 * 130 + 2], kUnlabelledSkin);
  EXPECT_FALSE(find_blob(*crowded).found);

  RgbImagePtr fewer = make_image(130, 240, dots_and_square(62)); // 4030 dots
  BlobResult r = find_blob(*fewer);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.top, 140);
}

} // namespace
} // namespace tavrin::mustache

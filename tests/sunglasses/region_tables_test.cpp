// The fine search's tables over part of the picture: its scores are the
// whole-picture reference's, bit for bit, and its bounds stay below them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fixtures.h"
#include "region_tables.h"
#include "whole_picture_tables.h"

namespace tavrin::sunglasses {
namespace {

using test::Random;

// Noise, a few greys in blocks (many equal windows, variances that round
// below zero), flat pictures and dark ones.
std::vector<uint8_t> make_pixels(Random &rnd, int kind, int32_t w, int32_t h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  const uint8_t levels[3] = {static_cast<uint8_t>(rnd.next()), static_cast<uint8_t>(rnd.next()),
                             static_cast<uint8_t>(rnd.next())};
  const int32_t block = rnd.between(1, 7);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 3];
      switch (kind) {
      case 0: p[0] = static_cast<uint8_t>(rnd.next()), p[1] = static_cast<uint8_t>(rnd.next()),
              p[2] = static_cast<uint8_t>(rnd.next()); break;
      case 1: p[0] = p[1] = p[2] = levels[(x / block + 2 * (y / block)) % 3]; break;
      case 2: p[0] = levels[0], p[1] = levels[1], p[2] = levels[2]; break;
      default: p[0] = p[1] = p[2] = static_cast<uint8_t>(rnd.next() % 9); break;
      }
    }
  return px;
}

TEST(RegionTables, ScoresMatchTheReferenceAndBoundsStayBelow) {
  Random rnd{15};
  for (int n = 0; n < 400; ++n) {
    const int32_t W = rnd.between(8, 90), H = rnd.between(8, 90);
    std::vector<uint8_t> px = make_pixels(rnd, n % 4, W, H);
    const BmpImage image{W, H, px.data()};
    ByteMap gray = make_gray_map(image), eye = make_eye_map(image);
    SumTable g = build_integral(gray.get(), W, H), q = build_square_integral(gray.get(), W, H),
             e = build_integral(eye.get(), W, H);
    // A rectangle of the picture, and windows inside it.
    const int32_t left = rnd.between(0, W - 4), top = rnd.between(0, H - 4);
    const int32_t right = rnd.between(left + 3, W - 1), bottom = rnd.between(top + 3, H - 1);
    RegionTables tables;
    tables.build(image, left, top, right, bottom);
    for (int t = 0; t < 20; ++t) {
      const int32_t w = rnd.between(1, right - left + 1), h = rnd.between(1, bottom - top + 1);
      const int32_t x = rnd.between(left, right - w + 1), y = rnd.between(top, bottom - h + 1);
      const int32_t count = std::min(rnd.between(1, 11), right - w + 2 - x);
      std::vector<double> scores(count), bounds(count);
      tables.score_run(x, y, w, h, count, scores.data());
      const double low = tables.bound_run(x, y, w, h, count, bounds.data());
      SCOPED_TRACE(testing::Message() << "picture " << n << " window " << w << "x" << h << " at " << x << ","
                                      << y);
      double lowest = kNoScore;
      for (int32_t k = 0; k < count; ++k) {
        const double want = window_score(g.get(), q.get(), e.get(), W, x + k, y, x + k + w - 1, y + h - 1);
        if (std::isnan(want)) {
          EXPECT_EQ(scores[k], kNoScore) << k;
        } else {
          EXPECT_EQ(std::memcmp(&scores[k], &want, sizeof want), 0) << k << ": " << scores[k] << " vs " << want;
          // The slack less a little rounding, never more.
          EXPECT_LE(bounds[k], scores[k]) << k;
          EXPECT_GE(bounds[k], scores[k] - 2 * kBoundSlack) << k;
        }
        lowest = std::min(lowest, bounds[k]);
      }
      EXPECT_EQ(low, lowest);
      // A block of top-left corners: its bound is below every window's score.
      const int32_t xb = std::min(x + rnd.between(0, 5), right - w + 1), yb = std::min(y + rnd.between(0, 5), bottom - h + 1);
      const double block = tables.score_bound(x, xb, y, yb, w, h);
      for (int32_t yy = y; yy <= yb; ++yy)
        for (int32_t xx = x; xx <= xb; ++xx) {
          double s;
          tables.score_run(xx, yy, w, h, 1, &s);
          EXPECT_LE(block, s) << xx << "," << yy;
        }
    }
  }
}

} // namespace
} // namespace tavrin::sunglasses

#include <gtest/gtest.h>

#include <cstdlib>

#include "beard_canvas.h"
#include "beard_rendering.h"

namespace tavrin::beard::test {
namespace {

constexpr Rgb kWhite{255, 255, 255};

Rgb mustache_at(int x, int y) {
  int v = ((y * 23) ^ (x * 11)) & 63;
  return Rgb{uint8_t(28 + v / 5), uint8_t(18 + v / 7), uint8_t(8 + v / 9)};
}
Rgb beard_at(int x, int y) {
  int v = ((y * 31) ^ (x * 17)) & 63;
  return Rgb{uint8_t(25 + v / 5), uint8_t(15 + v / 7), uint8_t(7 + v / 9)};
}

// The drawing as described: every pixel of both scan boxes, one by one.
void reference_beard(TestPicture &p, int fx, int fy, int fw, int fh) {
  auto inside = [](int dx, int dy, int a, int b) {
    double u = double(dx) / double(a), v = double(dy) / double(b);
    return u * u + v * v <= 1.0;
  };
  auto put = [&](int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < p.width && y < p.height) p.at(x, y) = c;
  };
  int cx = fx + fw / 2, top = fy + fh * 3 / 5, bottom = fy + fh + fh / 10, mid = (top + bottom) / 2;
  int ax = std::max(fw * 3 / 10, 1), ay = std::max(fh / 14 + 1, 1);
  int bx = std::max(fw * 9 / 20, 1), by = std::max((bottom - top) / 2 + 1, 1), gap = fw / 20;
  for (int y = top - ay; y <= top + ay; ++y)
    for (int x = cx - ax; x <= cx + ax; ++x)
      if (std::abs(x - cx) >= gap && inside(x - cx, y - top, ax, ay)) put(x, y, mustache_at(x, y));
  for (int y = top; y <= bottom; ++y)
    for (int x = cx - bx; x <= cx + bx; ++x)
      if (inside(x - cx, y - mid, bx, by) && y >= top + ay) put(x, y, beard_at(x, y));
}

TestPicture drawn(TestPicture p, int fx, int fy, int fw, int fh, int times = 1) {
  Canvas canvas(p);
  BmpImage image = canvas.image();
  for (int i = 0; i < times; ++i) draw_beard(image, fx, fy, fw, fh);
  return canvas.picture();
}

TEST(BeardDrawing, WorkedExample) {
  const TestPicture blank = tavrin::test::make_picture(260, 200, kWhite);
  const TestPicture p = drawn(blank, 100, 50, 80, 100);
  int mustache = 0, beard = 0;
  int min_x = 999, max_x = -1, min_y = 999, max_y = -1;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      if (p.at(x, y) == kWhite) continue;
      min_x = std::min(min_x, x), max_x = std::max(max_x, x);
      min_y = std::min(min_y, y), max_y = std::max(max_y, y);
      if (y <= 117) {
        ++mustache;
        EXPECT_EQ(p.at(x, y), mustache_at(x, y)) << x << "," << y;
        EXPECT_TRUE(x < 137 || x > 143) << x << "," << y; // bare strip under the nose
      } else {
        ++beard;
        EXPECT_EQ(p.at(x, y), beard_at(x, y)) << x << "," << y;
      }
    }
  EXPECT_EQ(mustache, 486);
  EXPECT_EQ(beard, 2623);
  EXPECT_EQ(min_y, 103);
  EXPECT_EQ(max_y, 160);
  EXPECT_EQ(min_x, 104);
  EXPECT_EQ(max_x, 176);
  EXPECT_NE(p.at(116, 110), kWhite); // mustache reaches its scan edges on its centre row
  EXPECT_NE(p.at(164, 110), kWhite);
  EXPECT_NE(p.at(104, 135), kWhite); // beard reaches cx - bx and cx + bx on row midY
  EXPECT_NE(p.at(176, 135), kWhite);
}

TEST(BeardDrawing, TextureColours) {
  const TestPicture blank = tavrin::test::make_picture(4, 4, kWhite);
  // Mustache centred on (0, 0), narrow enough to have no bare strip.
  TestPicture p = drawn(blank, -9, -12, 19, 20);
  EXPECT_EQ(p.at(0, 0), (Rgb{28, 18, 8}));
  EXPECT_EQ(p.at(1, 0), (Rgb{30, 19, 9}));
  // Beard whose flat upper edge is row 0.
  p = drawn(blank, -9, -14, 19, 20);
  EXPECT_EQ(p.at(0, 0), (Rgb{25, 15, 7}));
  EXPECT_EQ(p.at(1, 0), (Rgb{28, 17, 8}));
}

TEST(BeardDrawing, MatchesPixelByPixelDrawingEverywhere) {
  const TestPicture base = tavrin::test::make_picture(
      97, 83, [](int x, int y) { return Rgb{uint8_t(x * 2), uint8_t(y * 3), uint8_t(x ^ y)}; });
  auto check = [&](int fx, int fy, int fw, int fh) {
    TestPicture expected = base;
    reference_beard(expected, fx, fy, fw, fh);
    EXPECT_EQ(drawn(base, fx, fy, fw, fh), expected) << fx << "," << fy << "," << fw << "," << fh;
  };
  for (int fw = 1; fw <= 70; fw += 3)
    for (int fh = 1; fh <= 60; fh += 2) check(5, 3, fw, fh);
  check(5, -100, 20, 238); // a mustache row that ends exactly on the bare strip
  const int clipped[][4] = {{0, 0, 97, 83},     {-30, -20, 80, 90}, {50, 40, 90, 100},
                            {-200, 10, 40, 40}, {10, 300, 40, 40}};
  for (const auto &f : clipped) check(f[0], f[1], f[2], f[3]);
}

TEST(BeardDrawing, DrawingTwiceEqualsOnce) {
  const TestPicture base = tavrin::test::make_picture(120, 120, kSkin);
  EXPECT_EQ(drawn(base, 10, 10, 90, 80, 2), drawn(base, 10, 10, 90, 80, 1));
}

} // namespace
} // namespace tavrin::beard::test

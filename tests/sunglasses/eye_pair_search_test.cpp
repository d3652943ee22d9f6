// The bounded eye-pair search against the plain scan of every combination,
// on thousands of small pictures made to be hard for bounds: flat areas where
// every window scores the same, noise, few grey levels, dark pictures whose
// sums are negative, tilted faces, faces at the picture's edges, tiny faces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <new>
#include <vector>

#include "eye_detection.h"
#include "eye_maps.h"
#include "plain_eye_search.h"
#include "whole_picture_tables.h"
#include "eye_pair_search.h"
#include "face_region.h"
#include "fixtures.h"

namespace tavrin::sunglasses {
namespace {

using test::Random;

struct Bgr {
  uint8_t b, g, r;
};

struct Picture {
  int32_t width, height;
  std::vector<uint8_t> bytes;
  BmpImage image() { return BmpImage{width, height, bytes.data()}; }
  void set(int32_t x, int32_t y, Bgr c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint8_t *px = bytes.data() + (static_cast<size_t>(y) * width + x) * 3;
    px[0] = c.b;
    px[1] = c.g;
    px[2] = c.r;
  }
};

Bgr random_colour(Random &rnd) { return Bgr{rnd.byte(), rnd.byte(), rnd.byte()}; }

Bgr grey(uint8_t v) { return Bgr{v, v, v}; }

void fill_ellipse(Picture &p, int32_t cx, int32_t cy, int32_t rx, int32_t ry, Bgr c) {
  for (int32_t y = cy - ry; y <= cy + ry; ++y)
    for (int32_t x = cx - rx; x <= cx + rx; ++x) {
      const int64_t dx = x - cx, dy = y - cy;
      if (dx * dx * ry * ry + dy * dy * rx * rx <= int64_t{rx} * rx * ry * ry) p.set(x, y, c);
    }
}

enum class Kind { kUniform, kNoise, kFewLevels, kFace, kDark, kCount };

Picture make_picture(Random &rnd, Kind kind) {
  Picture p;
  p.width = rnd.between(6, 72);
  p.height = rnd.between(6, 72);
  p.bytes.resize(static_cast<size_t>(p.width) * p.height * 3);
  switch (kind) {
  case Kind::kUniform: {
    const Bgr c = rnd.below(2) ? grey(rnd.byte()) : random_colour(rnd);
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) p.set(x, y, c);
    break;
  }
  case Kind::kNoise:
    for (uint8_t &b : p.bytes) b = rnd.byte();
    break;
  case Kind::kFewLevels: {
    // Blocks of two or three greys: many windows share one score.
    const uint8_t levels[3] = {rnd.byte(), rnd.byte(), rnd.byte()};
    const int32_t n = rnd.between(2, 3), block = rnd.between(1, 6);
    const int32_t cells_w = p.width / block + 1, cells_h = p.height / block + 1;
    std::vector<uint8_t> cells(static_cast<size_t>(cells_w) * cells_h);
    for (uint8_t &c : cells) c = levels[rnd.below(n)];
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) p.set(x, y, grey(cells[(y / block) * cells_w + x / block]));
    break;
  }
  case Kind::kFace:
  case Kind::kDark: {
    // Skin ellipse, two dark eyes at independent heights, maybe hair and
    // grain; dark pictures make every score negative.
    const bool dark = kind == Kind::kDark;
    const Bgr back = dark ? grey(static_cast<uint8_t>(rnd.below(12))) : random_colour(rnd);
    const Bgr skin = dark ? Bgr{3, 5, 9} : Bgr{140, 172, 224};
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) p.set(x, y, back);
    const int32_t cx = rnd.between(-4, p.width + 4), cy = rnd.between(-4, p.height + 4);
    const int32_t rx = rnd.between(3, p.width / 2 + 3), ry = rnd.between(3, p.height / 2 + 3);
    if (rnd.below(2)) fill_ellipse(p, cx, cy - ry / 3, rx + 1, ry / 2 + 1, Bgr{30, 40, 60});
    fill_ellipse(p, cx, cy, rx, ry, skin);
    const int32_t er = std::max(1, rx / 5);
    const Bgr eye = dark ? grey(0) : grey(static_cast<uint8_t>(rnd.below(60)));
    fill_ellipse(p, cx - rx / 2, cy - ry / 4 + rnd.between(-2, 2), er, std::max(1, er / 2), eye);
    fill_ellipse(p, cx + rx / 2, cy - ry / 4 + rnd.between(-2, 2), er, std::max(1, er / 2), eye);
    if (rnd.below(2))
      for (uint8_t &b : p.bytes) b = static_cast<uint8_t>(std::clamp(b + rnd.between(-3, 3), 0, 255));
    break;
  }
  case Kind::kCount:
    break;
  }
  return p;
}

// A face rectangle inside the picture: the one the plug-in would find, or
// any, often touching an edge or too small for a window.
FaceRect pick_face(Random &rnd, Picture &p) {
  switch (rnd.below(5)) {
  case 0: {
    BmpImage image = p.image();
    return detect_face_region(image);
  }
  case 1:
    return FaceRect{0, 0, p.width, p.height};
  case 2: // touching the right or bottom edge
    return FaceRect{p.width / 4, p.height / 5, p.width - p.width / 4, p.height - p.height / 5};
  default: {
    const int32_t x = rnd.below(p.width), y = rnd.below(p.height);
    return FaceRect{x, y, rnd.between(1, p.width - x), rnd.between(1, p.height - y)};
  }
  }
}

struct PlainTables {
  explicit PlainTables(const BmpImage &image)
      : gray(make_gray_map(image)), eye_map(make_eye_map(image)),
        gray_sums(build_integral(gray.get(), image.width, image.height)),
        square_sums(build_square_integral(gray.get(), image.width, image.height)),
        eye_sums(build_integral(eye_map.get(), image.width, image.height)),
        view{gray_sums.get(), square_sums.get(), eye_sums.get(), image.width, image.height} {}
  ByteMap gray, eye_map;
  SumTable gray_sums, square_sums, eye_sums;
  ScoreTables view;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult same_record(const EyeRecord &a, const EyeRecord &b) {
  if (a.cx == b.cx && a.cy == b.cy && a.half_w == b.half_w && a.half_h == b.half_h &&
      same_bits(a.score, b.score))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "(" << a.cx << "," << a.cy << " " << a.half_w << "x" << a.half_h
                                       << " " << a.score << ") vs (" << b.cx << "," << b.cy << " "
                                       << b.half_w << "x" << b.half_h << " " << b.score << ")";
}

// The fine pass either bounds blocks of windows all the way or, past a share
// of a side's windows, scores the whole side; both must give the plain scan's
// pair. Any window height may be scored whole here, as the pictures are small.
constexpr FineScoring kBlocksOnly{0, 0}, kScoreAtOnce{SIZE_MAX, 0}, kHalf{2, 0},
    kUsualShare{FineScoring{}.exact_share, 0};

::testing::AssertionResult same_pair(const EyePair &fast, const EyePair &plain) {
  if (fast.found != plain.found) return ::testing::AssertionFailure() << "found " << fast.found;
  if (!plain.found) return ::testing::AssertionSuccess();
  if (!same_bits(fast.total, plain.total))
    return ::testing::AssertionFailure() << fast.total << " vs " << plain.total;
  if (auto r = same_record(fast.left, plain.left); !r) return r;
  return same_record(fast.right, plain.right);
}

TEST(EyePairSearch, SamePairAsThePlainScan) {
  Random rnd{20261208};
  int found = 0;
  for (int n = 0; n < 5000; ++n) {
    const Kind kind = static_cast<Kind>(n % static_cast<int>(Kind::kCount));
    Picture p = make_picture(rnd, kind);
    const FaceRect face = pick_face(rnd, p);
    const BmpImage image = p.image();
    const PlainTables tables(image);
    const EyePair plain = search_eye_pair_plain(tables.view, face);
    SCOPED_TRACE(::testing::Message() << "picture " << n << " kind " << static_cast<int>(kind) << " "
                                      << p.width << "x" << p.height << " face (" << face.x << ","
                                      << face.y << ") " << face.width << "x" << face.height);
    found += plain.found;
    ASSERT_TRUE(same_pair(search_eye_pair(image, face), plain));
    // Some of them the other ways of the fine pass, too.
    if (n % 3 != 0) continue;
    for (const FineScoring scoring : {kBlocksOnly, kHalf, kScoreAtOnce})
      ASSERT_TRUE(same_pair(search_eye_pair(image, face, nullptr, scoring), plain)) << "share " << scoring.exact_share;
  }
  // Most pictures must hold a pair, or the comparison proves little.
  EXPECT_GT(found, 2500);
}

TEST(EyePairSearch, FlatPicturesOfEveryGrey) {
  // Every window scores v - 12: only the penalty factors and the scan order
  // decide, through the sign of the sum.
  for (int v = 0; v < 256; v += 3) {
    Picture p{40, 48, std::vector<uint8_t>(40 * 48 * 3, static_cast<uint8_t>(v))};
    const BmpImage image = p.image();
    const PlainTables tables(image);
    for (const FaceRect face : {FaceRect{0, 0, 40, 48}, FaceRect{3, 5, 31, 40}}) {
      const EyePair plain = search_eye_pair_plain(tables.view, face), fast = search_eye_pair(image, face);
      ASSERT_EQ(fast.found, plain.found) << v;
      ASSERT_TRUE(same_bits(fast.total, plain.total)) << v;
      ASSERT_TRUE(same_record(fast.left, plain.left)) << v;
      ASSERT_TRUE(same_record(fast.right, plain.right)) << v;
    }
  }
}

TEST(EyePairSearch, RefinedCentresMatchThePixelByPixelPatches) {
  Random rnd{7};
  for (int n = 0; n < 400; ++n) {
    Picture p = make_picture(rnd, static_cast<Kind>(n % static_cast<int>(Kind::kCount)));
    const BmpImage image = p.image();
    ByteMap gray = make_gray_map(image);
    const int32_t cx = rnd.between(-5, p.width + 5), cy = rnd.between(-5, p.height + 5);
    const int32_t radius = rnd.between(3, 30);
    const PixelPosition plain = refine_eye_center_plain(gray.get(), p.width, p.height, cx, cy, radius);
    const PixelPosition fast = refine_eye_center(image, cx, cy, radius);
    ASSERT_EQ(fast.x, plain.x) << n;
    ASSERT_EQ(fast.y, plain.y) << n;
  }
}

TEST(EyePairSearch, DetectEyesMatchesThePlainPipeline) {
  Random rnd{99};
  for (int n = 0; n < 300; ++n) {
    Picture p = make_picture(rnd, n % 2 ? Kind::kFace : Kind::kNoise);
    const BmpImage image = p.image();
    const FaceRect face = detect_face_region(image);
    const PlainTables tables(image);
    EyePair plain = search_eye_pair_plain(tables.view, face);
    EyeRecord left{1, 2, 3, 4, 5}, right{6, 7, 8, 9, 10};
    const EyeDetection result = detect_eyes(image, face, &left, &right);
    ASSERT_EQ(result, plain.found ? EyeDetection::kFound : EyeDetection::kNotFound) << n;
    if (!plain.found) {
      EXPECT_EQ(left.cx, 1); // untouched
      continue;
    }
    const int32_t radius = std::max(plain.left.half_w, 3);
    const PixelPosition l =
        refine_eye_center_plain(tables.gray.get(), p.width, p.height, plain.left.cx, plain.left.cy, radius);
    const PixelPosition r =
        refine_eye_center_plain(tables.gray.get(), p.width, p.height, plain.right.cx, plain.right.cy, radius);
    plain.left.cx = l.x, plain.left.cy = l.y, plain.right.cx = r.x, plain.right.cy = r.y;
    ASSERT_TRUE(same_record(left, plain.left)) << n;
    ASSERT_TRUE(same_record(right, plain.right)) << n;
  }
}

enum class Grey { kFlat, kNoise, kFaintEyes, kCount };

// Grey as a picture without skin is: one level, noise around one, or noise
// with two faintly darker patches where eyes would be.
Picture make_grey_picture(Random &rnd, Grey kind, int32_t width, int32_t height) {
  Picture p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
  const uint8_t level = static_cast<uint8_t>(rnd.between(20, 200));
  const int32_t spread = kind == Grey::kFlat ? 0 : rnd.between(1, 40);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) p.set(x, y, grey(static_cast<uint8_t>(level + rnd.below(spread + 1))));
  if (kind == Grey::kFaintEyes) {
    const int32_t ey = height * 2 / 5, er = std::max(2, width / 14);
    const Bgr dark = grey(static_cast<uint8_t>(level - rnd.between(1, 15)));
    fill_ellipse(p, width * 3 / 10, ey, er, er / 2 + 1, dark);
    fill_ellipse(p, width * 7 / 10, ey + rnd.between(-3, 3), er, er / 2 + 1, dark);
  }
  return p;
}

// Large enough for blocks to be split, and grey, so many windows score
// (nearly) the same and the share is often reached.
TEST(EyePairSearch, EitherWayOfTheFinePassOnLargerGreyPictures) {
  Random rnd{4096};
  for (int n = 0; n < 9; ++n) {
    const Grey kind = static_cast<Grey>(n % static_cast<int>(Grey::kCount));
    Picture p = make_grey_picture(rnd, kind, rnd.between(140, 190), rnd.between(120, 170));
    const BmpImage image = p.image();
    const PlainTables tables(image);
    const FaceRect detected = detect_face_region(image);
    for (const FaceRect face : {FaceRect{0, 0, p.width, p.height}, detected}) {
      const EyePair plain = search_eye_pair_plain(tables.view, face);
      ASSERT_TRUE(plain.found) << n;
      for (const FineScoring scoring : {kBlocksOnly, kHalf, kUsualShare, kScoreAtOnce, FineScoring{}})
        ASSERT_TRUE(same_pair(search_eye_pair(image, face, nullptr, scoring), plain))
            << "picture " << n << " kind " << static_cast<int>(kind) << " " << p.width << "x" << p.height
            << " share " << scoring.exact_share << " height " << scoring.exact_height;
    }
  }
}

// Hands out heap memory until `allowed` requests have been met, then refuses
// every one; counts what is still out.
class RationedMemory final : public std::pmr::memory_resource {
public:
  explicit RationedMemory(int allowed) : allowed_(allowed) {}
  int requests = 0;
  int64_t outstanding = 0;

private:
  void *do_allocate(size_t bytes, size_t alignment) override {
    if (requests++ >= allowed_) throw std::bad_alloc();
    outstanding += static_cast<int64_t>(bytes);
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void *p, size_t bytes, size_t alignment) override {
    outstanding -= static_cast<int64_t>(bytes);
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }
  int allowed_;
};

// Memory that runs out at any request of the search, the first or the last,
// is an answer of its own (never "no eyes", never a pair), and everything
// the search had is given back; with enough, the answer is the usual one.
TEST(EyePairSearch, RunningOutOfMemoryAtAnyRequestIsOutOfMemory) {
  Random rnd{7};
  int searched = 0;
  for (int n = 0; n < 40 && searched < 4; ++n) {
    Picture p = make_picture(rnd, Kind::kFace);
    const BmpImage image = p.image();
    const FaceRect face = detect_face_region(image);
    EyeRecord want_left{}, want_right{};
    if (detect_eyes(image, face, &want_left, &want_right) != EyeDetection::kFound) continue;
    ++searched;
    RationedMemory plenty(INT32_MAX);
    EyeRecord left{}, right{};
    ASSERT_EQ(detect_eyes(image, face, &left, &right, &plenty), EyeDetection::kFound);
    EXPECT_TRUE(same_record(left, want_left) && same_record(right, want_right)) << n;
    EXPECT_EQ(plenty.outstanding, 0);
    ASSERT_GT(plenty.requests, 5) << n;
    for (int allowed = 0; allowed < plenty.requests; ++allowed) {
      RationedMemory rationed(allowed);
      EyeRecord l{1, 2, 3, 4, 5}, r{};
      ASSERT_EQ(detect_eyes(image, face, &l, &r, &rationed), EyeDetection::kOutOfMemory) << n << " " << allowed;
      EXPECT_EQ(l.cx, 1); // untouched
      EXPECT_EQ(rationed.outstanding, 0) << n << " " << allowed;
    }
  }
  EXPECT_EQ(searched, 4);
}

} // namespace
} // namespace tavrin::sunglasses

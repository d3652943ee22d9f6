#include "plain_sunglasses.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "bitmap_file.h"
#include "eye_detection.h"
#include "eye_maps.h"
#include "plain_eye_search.h"
#include "whole_picture_tables.h"
#include "eye_pair_search.h"
#include "face_region.h"
#include "sunglasses_drawing.h"

namespace tavrin::bench {

int32_t run_plain_sunglasses(const char *input, const char *output) {
  using namespace tavrin::sunglasses;
  BmpImagePtr image = load_bmp(input);
  if (!image) return 1;
  const int32_t w = image->width, h = image->height;
  // The tables of the whole picture, as the first version built them.
  ByteMap gray = make_gray_map(*image);
  SumTable gray_sums = gray ? build_integral(gray.get(), w, h) : nullptr;
  const FaceRect face = detect_face_region(*image);
  SumTable square_sums = gray ? build_square_integral(gray.get(), w, h) : nullptr;
  ByteMap eye = make_eye_map(*image);
  SumTable eye_sums = eye ? build_integral(eye.get(), w, h) : nullptr;
  if (!gray_sums || !square_sums || !eye_sums) return 1;
  const ScoreTables tables{gray_sums.get(), square_sums.get(), eye_sums.get(), w, h};
  EyePair pair = search_eye_pair_plain(tables, face);
  if (pair.found) {
    const int32_t radius = std::max(pair.left.half_w, 3);
    const PixelPosition l = refine_eye_center_plain(gray.get(), w, h, pair.left.cx, pair.left.cy, radius);
    const PixelPosition r = refine_eye_center_plain(gray.get(), w, h, pair.right.cx, pair.right.cy, radius);
    pair.left.cx = l.x, pair.left.cy = l.y, pair.right.cx = r.x, pair.right.cy = r.y;
    draw_sunglasses(*image, pair.left, pair.right, face);
  }
  return save_bmp(output, *image) ? 999 : 1;
}

namespace {

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool same_pair(const sunglasses::EyePair &a, const sunglasses::EyePair &b) {
  auto same = [](const sunglasses::EyeRecord &x, const sunglasses::EyeRecord &y) {
    return x.cx == y.cx && x.cy == y.cy && x.half_w == y.half_w && x.half_h == y.half_h &&
           std::memcmp(&x.score, &y.score, sizeof x.score) == 0;
  };
  return a.found == b.found && std::memcmp(&a.total, &b.total, sizeof a.total) == 0 && same(a.left, b.left) &&
         same(a.right, b.right);
}

} // namespace

bool time_eye_searches(const char *input, int runs, double &plain_ms, double &fast_ms) {
  using namespace tavrin::sunglasses;
  BmpImagePtr image = load_bmp(input);
  if (!image) return false;
  const int32_t w = image->width, h = image->height;
  const FaceRect face = detect_face_region(*image);
  ByteMap gray = make_gray_map(*image), eye = make_eye_map(*image);
  if (!gray || !eye) return false;
  SumTable gray_sums = build_integral(gray.get(), w, h), square_sums = build_square_integral(gray.get(), w, h),
           eye_sums = build_integral(eye.get(), w, h);
  if (!gray_sums || !square_sums || !eye_sums) return false;
  const ScoreTables tables{gray_sums.get(), square_sums.get(), eye_sums.get(), w, h};
  double start = now_ms();
  const EyePair plain = search_eye_pair_plain(tables, face);
  plain_ms = now_ms() - start;
  EyePair fast;
  fast_ms = 1e300;
  for (int r = 0; r < runs; ++r) {
    start = now_ms();
    fast = search_eye_pair(*image, face);
    fast_ms = std::min(fast_ms, now_ms() - start);
  }
  return same_pair(plain, fast);
}

} // namespace tavrin::bench

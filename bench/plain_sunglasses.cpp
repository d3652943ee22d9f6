#include "plain_sunglasses.h"

#include <algorithm>

#include "bitmap_file.h"
#include "eye_detection.h"
#include "eye_maps.h"
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
    const PixelPosition l = refine_eye_center(gray.get(), w, h, pair.left.cx, pair.left.cy, radius);
    const PixelPosition r = refine_eye_center(gray.get(), w, h, pair.right.cx, pair.right.cy, radius);
    pair.left.cx = l.x, pair.left.cy = l.y, pair.right.cx = r.x, pair.right.cy = r.y;
    draw_sunglasses(*image, pair.left, pair.right, face);
  }
  return save_bmp(output, *image) ? 999 : 1;
}

} // namespace tavrin::bench

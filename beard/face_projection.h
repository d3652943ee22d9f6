// Face rectangle of the beard: the longest band of skin-rich rows and, inside
// it, the longest band of skin-rich columns.
#pragma once

#include <cstdint>

#include "overlay_types.h"

namespace tavrin::beard {

// Skin when R >= 96, G >= 41, B >= 21, max - min >= 16, R > G, R > B and
// R - G >= 16. With R the largest channel those reduce to two ranges,
// 41 <= G <= R - 16 and 21 <= B <= R - 1, tested without branches so the
// per-pixel loops stay tight.
inline bool is_skin_rgb(uint8_t red, uint8_t green, uint8_t blue) {
  const int r = red, g = green, b = blue;
  return (r >= 96) & (static_cast<unsigned>(g - 41) <= static_cast<unsigned>(r - 57)) &
         (static_cast<unsigned>(b - 21) <= static_cast<unsigned>(r - 22));
}

// Skin pixels among `width` pixels of blue-green-red bytes.
int32_t count_skin(const uint8_t *bgr, int32_t width);

// Adds 1 to columns[x] for every skin pixel x of the row.
void add_skin_columns(const uint8_t *bgr, int32_t width, int32_t *columns);

struct Run {
  int32_t length; // 0 when no index reaches the threshold
  int32_t start;
};

// Longest run of consecutive counts at or above `threshold`; among equally
// long runs the first wins.
Run longest_run(const int32_t *counts, int32_t n, int32_t threshold);

// kFound, with `face` filled, when the picture holds a face; `face` is left
// alone otherwise. kOutOfMemory when the column counts cannot be had.
FaceSearch find_face_rect(const BmpImage &image, FaceRect &face);

} // namespace tavrin::beard

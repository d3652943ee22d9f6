// Eyes and mouth line: where on the face blob the mustache belongs.
#pragma once

#include <cstdint>

#include "bitmap_file.h"
#include "skin_blob.h"

namespace tavrin::mustache {

inline int32_t brightness(uint8_t r, uint8_t g, uint8_t b) {
  return (77 * r + 150 * g + 29 * b) >> 8;
}

// Window sizes, distances and rows of the eye search for a face of width w
// whose top row is t, in a picture `height` rows high.
struct EyeSearchPlan {
  int32_t ew, eh;     // eye window width and height
  int32_t dmin, dmax; // distances between the two window centres
  int32_t y0, y1;     // first and last row the windows may cover
};
EyeSearchPlan plan_eye_search(int32_t w, int32_t t, int32_t height);

// Brightness sums over the rows one window covers, per column, and their
// running total across the row: every window sum of the search is the
// difference of two totals. Two rows of 64-bit sums, so the search needs
// memory for a few rows whatever the size of the picture or the face.
struct EyeWindowSums {
  HeapArray<int64_t> columns; // width entries
  HeapArray<int64_t> totals;  // width + 1 entries
};
bool allocate_eye_window_sums(const RgbImage &image, EyeWindowSums &sums);

// Searches the darkest pair of equal windows below the top of the face and
// stores the eye row and the distance between the eyes; when no pair fits,
// the middle of the band and of the distance range.
void detect_eyes(const RgbImage &image, EyeWindowSums &sums, int32_t c, int32_t t, int32_t w,
                 int32_t *eye_y, int32_t *iod);

// Finds the face blob and its eyes, prints the three detection lines and
// stores the mustache anchor. Returns false, storing nothing, when there is
// no face (or no memory to look for one).
bool detect_face(const RgbImage &image, int32_t *cx, int32_t *mouth_y, int32_t *face_w);

} // namespace tavrin::mustache

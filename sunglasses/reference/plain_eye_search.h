// The eye search as first written: every combination of both passes scored
// one by one on tables of the whole picture, and each centre refined by
// summing patches pixel by pixel. The plug-in's search_eye_pair and
// refine_eye_center (eye_pair_search.h, eye_detection.h) must agree with it.
#pragma once

#include <cstdint>

#include "eye_detection.h"
#include "overlay_types.h"

namespace tavrin::sunglasses {

// The tables a window is scored on, all `width` x `height` elements
// (whole_picture_tables.h).
struct ScoreTables {
  const int64_t *gray;
  const int64_t *gray_square;
  const int64_t *eye;
  int32_t width;
  int32_t height;
};

// Scores every pair of one pass, in scan order, keeping `best` up to date:
// a pair replaces it only with a strictly lower total.
void scan_pass(const ScoreTables &tables, const SearchFrame &frame, const PassPlan &plan,
               EyePair &best);

// Both passes, the fine one around the coarse winner.
EyePair search_eye_pair_plain(const ScoreTables &tables, FaceRect face);

// Centre of the darkest (2k+1)-square patch within `radius` of (cx, cy), with
// k = radius / 3 (at least 2) and the patch wholly inside the picture; the
// centre itself when no patch qualifies. `gray` is the grey map of the whole
// picture.
PixelPosition refine_eye_center_plain(const uint8_t *gray, int32_t width, int32_t height, int32_t cx,
                                      int32_t cy, int32_t radius);

} // namespace tavrin::sunglasses

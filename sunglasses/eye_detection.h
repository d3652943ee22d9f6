// Finding the two eyes inside the face rectangle: a coarse and a fine search
// over pairs of windows, then each centre moved to the darkest patch near it.
#pragma once

#include <cstdint>
#include <memory_resource>

#include "overlay_types.h"

namespace tavrin::sunglasses {

struct EyeRecord {
  int32_t cx;     // centre column
  int32_t cy;     // centre row, from the top
  int32_t half_w; // half the winning window's width
  int32_t half_h; // half the winning window's height
  double score;   // window score of the winning window (lower is better)
};

// The best pair seen so far; `total` is the penalised sum of both scores.
struct EyePair {
  bool found = false;
  double total = 1e30;
  EyeRecord left{};
  EyeRecord right{};
};

// Bounds both passes take from the face rectangle.
struct SearchFrame {
  FaceRect face;
  int32_t y_top, y_bot; // band of rows the left window may occupy
  int32_t x_mid;        // middle column of the face
  int32_t min_w, max_w; // coarse window widths
  int32_t dy_min, dy_max; // vertical offset of the right window
};

// Ranges of one pass. For a window of width w and height h the left window
// starts at columns x_first .. x_end - w and rows y_first .. y_end - h, the
// right one at columns rx_first .. rx_end - w.
struct PassPlan {
  int32_t w_first, w_last, w_step;
  bool fine; // positions move one pixel at a time instead of w / 4
  int32_t x_first, x_end;
  int32_t rx_first, rx_end;
  int32_t y_first, y_end;
};

SearchFrame search_frame(FaceRect face);
PassPlan coarse_pass_plan(const SearchFrame &frame);
// The fine pass looks around the coarse winner as it stood before the pass.
PassPlan fine_pass_plan(const SearchFrame &frame, const EyeRecord &left, const EyeRecord &right);

// Height of an eye window of width w.
int32_t eye_window_height(int32_t w);

// How far positions move between windows of width w in a pass.
int32_t position_step(const PassPlan &plan, int32_t w);

struct PixelPosition {
  int32_t x;
  int32_t y;
};

// Centre of the darkest (2k+1)-square patch within `radius` of (cx, cy), with
// k = radius / 3 (at least 2) and the patch wholly inside the picture; the
// centre itself when no patch qualifies. Patch sums come from a summed-area
// table of the grey values around the centre only (the plain reference,
// refine_eye_center_plain, sums them pixel by pixel). Throws std::bad_alloc
// when memory runs out.
PixelPosition refine_eye_center(const BmpImage &image, int32_t cx, int32_t cy, int32_t radius);

enum class EyeDetection { kNotFound, kFound, kOutOfMemory };

// Fills `left` (smaller column) and `right` only when a pair was found. Reads
// the picture around the face's eye band only. The search's work memory
// comes from `memory` when given.
EyeDetection detect_eyes(const BmpImage &image, FaceRect face, EyeRecord *left, EyeRecord *right,
                         std::pmr::memory_resource *memory = nullptr);

} // namespace tavrin::sunglasses

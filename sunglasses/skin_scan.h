// Counting skin pixels along a run of a row, many pixels at a time.
#pragma once

#include <cstdint>

namespace tavrin::sunglasses {

struct SkinRun {
  int32_t count; // pixels for which is_skin_pixel holds
  int32_t first; // index of the first of them, -1 when there is none
  int32_t last;  // index of the last of them, -1 when there is none
};

// Bit i set when pixel i of the sixteen (blue, green, red) at `px` is skin
// by is_skin_pixel. Reads exactly those 48 bytes.
uint32_t skin_block_mask(const uint8_t *px);

// The skin pixels among the `n` pixels (blue, green, red) starting at `px`.
// Reads no byte outside the first `readable` pixels (at least n): a short
// last block is read in place when the pixels after the run may be read, and
// only copied out when they may not.
SkinRun scan_skin_run(const uint8_t *px, int32_t n, int64_t readable);
inline SkinRun scan_skin_run(const uint8_t *px, int32_t n) { return scan_skin_run(px, n, n); }

} // namespace tavrin::sunglasses

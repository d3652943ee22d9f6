// Finding the face window: a YCbCr skin rule, a summed-area table of skin
// pixels and a multi-scale search for the window with the best skin score.
#pragma once

#include <cstdint>
#include <memory>

#include "overlay_types.h"

namespace tavrin::face_hat {

// Cell (x, y) counts the skin pixels in columns 0..x and rows 0..y, row-major.
// The counts are whole numbers below 2^31 (the picture's file must fit in 2^31
// bytes at 3 bytes per pixel), so 32-bit cells hold exactly the values a table
// of doubles would, at half the memory.
using SkinTable = std::unique_ptr<uint32_t[]>;

bool is_skin_ycbcr(uint8_t red, uint8_t green, uint8_t blue);

// Null when the table cannot be allocated.
SkinTable build_skin_integral(const uint8_t *pixels, int32_t width, int32_t height);

// Skin pixels in columns x0..x1 and rows y0..y1, inclusive. A rectangle with
// no columns or no rows sums to 0.
double rect_sum(const uint32_t *table, int32_t width, int32_t x0, int32_t y0, int32_t x1,
                int32_t y1);

// kFound, with `face` filled, when some window holds enough skin; `face` is
// left alone otherwise. kOutOfMemory when the table cannot be had.
FaceSearch find_face_window(const uint8_t *pixels, int32_t width, int32_t height, FaceRect &face);

} // namespace tavrin::face_hat

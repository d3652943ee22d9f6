// Finding the face window: a multi-scale search for the window with the best
// skin score, counted on a summed-area table of skin pixels (skin_table.h).
#pragma once

#include <cstdint>

#include "overlay_types.h"

namespace tavrin::face_hat {

// kFound, with `face` filled, when some window holds enough skin; `face` is
// left alone otherwise. kOutOfMemory when the table cannot be had.
FaceSearch find_face_window(const uint8_t *pixels, int32_t width, int32_t height, FaceRect &face);

} // namespace tavrin::face_hat

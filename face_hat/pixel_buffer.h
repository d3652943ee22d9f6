// The plug-in's one picture format: width x height pixels of three bytes
// (red, green, blue), row 0 at the top, rows packed without padding. Width and
// height travel beside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixel_memory.h"

namespace tavrin::face_hat {

// Pixels come from allocate_pixels and go back with free.
using PixelBuffer = PixelArray<uint8_t>;

inline size_t pixel_offset(int32_t width, int32_t x, int32_t y) {
  return (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
}

} // namespace tavrin::face_hat

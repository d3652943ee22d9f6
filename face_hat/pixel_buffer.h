// The plug-in's one picture format: width x height pixels of three bytes
// (red, green, blue), row 0 at the top, rows packed without padding. Width and
// height travel beside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace tavrin::face_hat {

// Pixels come from allocate_pixels (pixel_memory.h) and go back with free.
struct FreePixels {
  void operator()(uint8_t *pixels) const { std::free(pixels); }
};
using PixelBuffer = std::unique_ptr<uint8_t[], FreePixels>;

inline size_t pixel_offset(int32_t width, int32_t x, int32_t y) {
  return (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
}

} // namespace tavrin::face_hat

// Records shared by the four plug-ins. Each plug-in has its own functions for
// them; only the shapes are common.
#pragma once

#include <cstdint>

#include "tavrin/overlay.h"

namespace tavrin {

// What every export returns.
using OverlayStatus = int32_t;
inline constexpr OverlayStatus kStatusWritten = TAVRIN_STATUS_WRITTEN;
inline constexpr OverlayStatus kStatusFailed = TAVRIN_STATUS_FAILED;

// A face rectangle in pixels; y counts rows from the top of the picture.
struct FaceRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

// What a face search came to. A search that ran out of memory found nothing
// and must not pass for one that looked and found no face.
enum class FaceSearch { kNotFound, kFound, kOutOfMemory };

// The picture of the sunglasses and beard plug-ins: rows top first, no
// padding, three bytes per pixel in the order blue, green, red.
struct BmpImage {
  int32_t width;
  int32_t height;  // always positive in memory
  uint8_t *pixels; // width * height * 3 bytes, owned by the record
};

} // namespace tavrin

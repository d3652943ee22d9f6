// Where to look for the eyes: the densest patch of skin-coloured pixels.
#pragma once

#include <cstdint>
#include <memory_resource>

#include "overlay_types.h"

namespace tavrin::sunglasses {

// Whether one pixel, given in memory order, has a skin colour.
bool is_skin_pixel(uint8_t blue, uint8_t green, uint8_t red);

// The rectangle around the densest 3x3 block of a 12x12 skin-count grid,
// widened by a margin; a fixed central rectangle when skin is scarce. Work
// memory comes from `memory` (an arena of the call's), else from one of
// its own.
FaceRect detect_face_region(const BmpImage &image, std::pmr::memory_resource *memory = nullptr);

// The rectangle used when the skin evidence is too weak.
FaceRect fallback_face_region(int32_t width, int32_t height);

} // namespace tavrin::sunglasses

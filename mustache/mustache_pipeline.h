// One call of the mustache plug-in, from input path to written output.
#pragma once

#include <cstdint>

#include "overlay_types.h"

namespace tavrin::mustache {

// Where the mustache goes when no face is found.
struct MustacheAnchor {
  int32_t cx;
  int32_t mouth_y;
  int32_t face_w;
};
MustacheAnchor fallback_anchor(int32_t width, int32_t height);

// Loads `input`, draws the mustache on the face (or at the fallback place),
// writes `output` and returns kStatusWritten, or kStatusFailed when the input
// cannot be loaded or the output cannot be written. Throws std::bad_alloc
// when a path cannot be converted for want of memory.
OverlayStatus apply_mustache(const char16_t *input, const char16_t *output);

} // namespace tavrin::mustache

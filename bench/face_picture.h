// Photo-like test pictures for the benchmark: a head and shoulders whose face
// is about a quarter of the picture wide, on a non-skin backdrop, with a little
// grain so no region is perfectly flat.
#pragma once

#include <cstdint>

#include "demo/portrait.h"

namespace tavrin::bench {

// The same bytes for the same size on every run and machine. The face is
// `face_share` of the picture width wide (0.25: a quarter).
Picture make_face_picture(int32_t width, int32_t height, double face_share = 0.25);

// Grey without a skin-coloured pixel, noisy or flat: the sunglasses then
// search the fallback face region, most of the picture, their largest work
// (on a flat one every window scores the same).
Picture make_skinless_picture(int32_t width, int32_t height, bool flat);

} // namespace tavrin::bench

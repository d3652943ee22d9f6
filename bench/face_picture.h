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

} // namespace tavrin::bench

// Reading 24- and 32-bit bitmaps into the pixel buffer and writing it back as
// a bottom-up 24-bit bitmap.
#pragma once

#include <cstdint>

#include "pixel_buffer.h"

namespace tavrin::face_hat {

// Loads `path`. On success returns the buffer and sets width and height (the
// row count, always positive). On failure returns null, having printed the
// reason on standard error where there is one; truncated files, impossible
// sizes and allocation failures fail silently.
PixelBuffer load_bmp(const char *path, int32_t &width, int32_t &height);

// Writes the picture to `path`. Returns false, after printing
// "Cannot write: <path>", when the file cannot be opened or any write or the
// close fails.
bool save_bmp(const char *path, int32_t width, int32_t height, const uint8_t *pixels);

} // namespace tavrin::face_hat

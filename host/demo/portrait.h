#pragma once

#include <cstdint>
#include <vector>

namespace tavrin {

// A picture as the host keeps it: rows top first, no padding, bytes in the
// order blue, green, red.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bgr;
};

// The built-in sample: a head-and-shoulders portrait drawn by code, the same
// bytes on every run, in which every plug-in finds the face.
Picture make_portrait();

// Writes `picture` as a bottom-up 24-bit bitmap. Returns false on any failure.
bool write_picture(const char *path, const Picture &picture);

} // namespace tavrin

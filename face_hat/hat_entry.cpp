// BMPFaceHat: load the picture, find the face window, put a hat on it, save.
#include <cstdio>
#include <string>

#include "bmp_files.h"
#include "console.h"
#include "export.h"
#include "face_window.h"
#include "hat_drawing.h"
#include "narrow_path.h"
#include "overlay_types.h"

namespace tavrin::face_hat {

namespace {

OverlayStatus apply_face_hat(const std::string &input, const std::string &output) {
  int32_t width = 0, height = 0;
  PixelBuffer pixels = load_bmp(input.c_str(), width, height);
  if (!pixels) return kStatusFailed;
  std::printf("Loaded: %s  (%d x %d)\n", input.c_str(), width, height);

  FaceRect face{};
  switch (find_face_window(pixels.get(), width, height, face)) {
  case FaceSearch::kFound:
    std::printf("Face at (%d,%d)  size %dx%d\n", face.x, face.y, face.width, face.height);
    draw_hat(pixels.get(), width, height, face.x, face.y, face.width, face.height);
    break;
  case FaceSearch::kNotFound:
    // U+2013 EN DASH, as its UTF-8 bytes.
    print_error("No face detected \xE2\x80\x93 writing image unchanged.\n");
    break;
  case FaceSearch::kOutOfMemory:
    // Silent like the reader's allocation failures; saving the picture
    // unchanged would pass a failure off as success.
    return kStatusFailed;
  }

  if (!save_bmp(output.c_str(), width, height, pixels.get())) return kStatusFailed;
  std::printf("Saved: %s\n", output.c_str());
  return kStatusWritten;
}

} // namespace

} // namespace tavrin::face_hat

TAVRIN_EXPORT int32_t BMPFaceHat(const char16_t *input, const char16_t *output) {
  if (input == nullptr || output == nullptr) return tavrin::kStatusFailed;
  // One guard for the whole call: no exception may cross into the host. Only
  // the path conversion can throw (out of memory), and fails silently.
  try {
    return tavrin::face_hat::apply_face_hat(tavrin::narrow_path(input), tavrin::narrow_path(output));
  } catch (...) {
    return tavrin::kStatusFailed;
  }
}

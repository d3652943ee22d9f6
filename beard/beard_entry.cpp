// The exported entry: load, find the face, draw, save, report.
#include <cstdio>
#include <string>

#include "beard_rendering.h"
#include "bitmap_file.h"
#include "console.h"
#include "export.h"
#include "face_projection.h"
#include "narrow_path.h"
#include "overlay_types.h"

namespace tavrin::beard {

namespace {

// A null wide path stays null, so opening it fails like any other bad path.
struct NarrowPath {
  explicit NarrowPath(const char16_t *wide) : is_null(wide == nullptr) {
    if (!is_null) text = narrow_path(wide);
  }
  const char *c_str() const { return is_null ? nullptr : text.c_str(); }

  bool is_null;
  std::string text;
};

OverlayStatus apply_beard(const char16_t *input, const char16_t *output) {
  const NarrowPath in(input);
  BmpHandle image = load_bmp(in.c_str());
  if (!image) return kStatusFailed;
  std::printf("  Image: %d x %d pixels\n", image->width, image->height);

  FaceRect face{};
  switch (find_face_rect(*image, face)) {
  case FaceSearch::kFound:
    std::printf("  Face region: x=%d  y=%d  w=%d  h=%d\n", face.x, face.y, face.width,
                face.height);
    draw_beard(*image, face.x, face.y, face.width, face.height);
    std::printf("  Beard applied.\n");
    break;
  case FaceSearch::kNotFound:
    print_error("Warning: no face detected.  Output will be written unmodified.\n");
    break;
  case FaceSearch::kOutOfMemory:
    // Saving the picture unchanged would pass a failure off as success.
    print_error("Error: not enough memory to search for a face.  No output written.\n");
    return kStatusFailed;
  }

  const NarrowPath out(output); // converted only once the drawing is done
  if (!save_bmp(out.c_str(), *image)) return kStatusFailed;
  std::printf("Done.\n");
  return kStatusWritten;
}

} // namespace

} // namespace tavrin::beard

TAVRIN_EXPORT int32_t BMPBeard(const char16_t *input, const char16_t *output) {
  try {
    return tavrin::beard::apply_beard(input, output);
  } catch (...) { // out of memory for a path: nothing may escape to the host
    return tavrin::kStatusFailed;
  }
}

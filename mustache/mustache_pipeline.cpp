#include "mustache_pipeline.h"

#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "bitmap_file.h"
#include "console.h"
#include "export.h"
#include "eyes_mouth_line.h"
#include "mustache_rendering.h"
#include "narrow_path.h"

namespace tavrin::mustache {

namespace {

// A null wide path stays null, and then fails to open like any other.
std::optional<std::string> convert_path(const char16_t *wide) {
  if (wide == nullptr) return std::nullopt;
  return narrow_path(wide);
}

const char *c_path(const std::optional<std::string> &path) {
  return path ? path->c_str() : nullptr;
}

} // namespace

MustacheAnchor fallback_anchor(int32_t width, int32_t height) {
  // 64 bits: height * 70 passes 32 bits for pictures of over 30 million rows.
  return {width / 2, static_cast<int32_t>(int64_t{height} * 70 / 100), width / 2};
}

OverlayStatus apply_mustache(const char16_t *input, const char16_t *output) {
  RgbImagePtr image;
  {
    const std::optional<std::string> in_path = convert_path(input);
    image = load_bmp(c_path(in_path));
  }
  if (!image) return kStatusFailed;
  std::printf("Image size: %d x %d\n", image->width, image->height);
  std::printf("Detecting face ...\n");

  MustacheAnchor at{};
  if (!detect_face(*image, &at.cx, &at.mouth_y, &at.face_w)) {
    print_error("No face detected. Using centre-of-image fallback.\n");
    at = fallback_anchor(image->width, image->height);
  }
  std::printf("Drawing mustache at cx=%d mouthY=%d faceW=%d ...\n", at.cx, at.mouth_y, at.face_w);
  draw_mustache(*image, at.cx, at.mouth_y, at.face_w);

  const std::optional<std::string> out_path = convert_path(output);
  const bool saved = save_bmp(c_path(out_path), *image);
  image.reset();
  if (!saved) return kStatusFailed;
  std::printf("Done.\n");
  return kStatusWritten;
}

} // namespace tavrin::mustache

TAVRIN_EXPORT int32_t BMPMustache(const char16_t *input, const char16_t *output) {
  // One guard for the whole call: no exception may cross into the host.
  try {
    return tavrin::mustache::apply_mustache(input, output);
  } catch (const std::bad_alloc &) {
    tavrin::print_error("Out of memory.\n");
    return tavrin::kStatusFailed;
  } catch (...) {
    return tavrin::kStatusFailed;
  }
}

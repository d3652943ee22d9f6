// The plug-in's one export: load, find face and eyes, draw, save.
#include <cstdio>
#include <new>
#include <string>

#include "bitmap_file.h"
#include "console.h"
#include "export.h"
#include "eye_detection.h"
#include "face_region.h"
#include "narrow_path.h"
#include "overlay_types.h"
#include "pixel_memory.h"
#include "sunglasses_drawing.h"

namespace tavrin::sunglasses {

namespace {

OverlayStatus out_of_memory() {
  print_error("Not enough memory.\n");
  return kStatusFailed;
}

OverlayStatus run_pipeline(const char16_t *input, const char16_t *output) {
  // Paths of any length, converted whole.
  const std::string in_path = narrow_path(input);
  const std::string out_path = narrow_path(output);

  std::printf("Loading %s ...\n", in_path.c_str());
  BmpImagePtr image = load_bmp(in_path.c_str());
  if (!image) return kStatusFailed;
  std::printf("Image: %d x %d\n", image->width, image->height);
  const SpareMemory spare = spare_memory(*image);
  WorkArena work(spare.data, spare.bytes);

  std::printf("Detecting face region ...\n");
  const FaceRect face = detect_face_region(*image, &work);
  std::printf("Face region: (%d,%d) %dx%d\n", face.x, face.y, face.width, face.height);

  std::printf("Detecting eyes ...\n");
  EyeRecord left{}, right{};
  switch (detect_eyes(*image, face, &left, &right, &work)) {
  case EyeDetection::kFound:
    std::printf("Left eye:  center=(%d,%d)\n", left.cx, left.cy);
    std::printf("Right eye: center=(%d,%d)\n", right.cx, right.cy);
    std::printf("Drawing sunglasses ...\n");
    draw_sunglasses(*image, left, right, face);
    break;
  case EyeDetection::kNotFound:
    print_error("Could not detect eyes. No sunglasses drawn.\n");
    break;
  case EyeDetection::kOutOfMemory:
    // Saving the picture unchanged would pass a failure off as success.
    return out_of_memory();
  }

  std::printf("Saving %s ...\n", out_path.c_str());
  if (!save_bmp(out_path.c_str(), *image)) return kStatusFailed;
  std::printf("Done!\n");
  return kStatusWritten;
}

} // namespace

} // namespace tavrin::sunglasses

TAVRIN_EXPORT int32_t BMPSunglases(const char16_t *input, const char16_t *output) {
  if (input == nullptr || output == nullptr) return tavrin::kStatusFailed;
  // One guard for the whole call: no exception may cross into the host.
  try {
    return tavrin::sunglasses::run_pipeline(input, output);
  } catch (const std::bad_alloc &) {
    return tavrin::sunglasses::out_of_memory();
  } catch (...) {
    return tavrin::kStatusFailed;
  }
}

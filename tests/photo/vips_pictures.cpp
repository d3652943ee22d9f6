#include "vips_pictures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "demo/portrait.h"
#include "temp_dir.h"

namespace tavrin::test {

void start_vips() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("photo_test") != 0) std::abort();
    // 8.14 caches loads by file name alone, so a rewritten output would
    // come back as it was the first time.
    vips_cache_set_max(0);
  });
}

std::string vips_failure() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  return text;
}

Image rgb_image(const TestPicture &picture) {
  start_vips();
  std::vector<uint8_t> bytes;
  bytes.reserve(picture.pixels.size() * 3);
  for (const Rgb &p : picture.pixels) bytes.insert(bytes.end(), {p.r, p.g, p.b});
  Image image(vips_image_new_from_memory_copy(bytes.data(), bytes.size(), picture.width, picture.height, 3,
                                              VIPS_FORMAT_UCHAR));
  if (image) vips_image_set_int(image.get(), "interpretation", VIPS_INTERPRETATION_sRGB);
  return image;
}

TestPicture portrait_pixels() {
  const Picture p = make_portrait();
  TestPicture t = make_picture(p.width, p.height, Rgb{0, 0, 0});
  for (size_t i = 0; i < t.pixels.size(); ++i) t.pixels[i] = {p.bgr[3 * i + 2], p.bgr[3 * i + 1], p.bgr[3 * i]};
  return t;
}

Image portrait_image() { return rgb_image(portrait_pixels()); }

namespace {

std::vector<uint8_t> raw_bytes(VipsImage *image) {
  size_t size = 0;
  void *memory = vips_image_write_to_memory(image, &size);
  if (memory == nullptr) return {};
  std::vector<uint8_t> bytes(static_cast<uint8_t *>(memory), static_cast<uint8_t *>(memory) + size);
  g_free(memory);
  return bytes;
}

} // namespace

TestPicture rgb_pixels(const Image &image) {
  TestPicture picture;
  if (!image || vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR || image.bands() < 3) {
    ADD_FAILURE() << "not an 8-bit colour picture";
    return picture;
  }
  const std::vector<uint8_t> bytes = raw_bytes(image.get());
  const size_t bands = static_cast<size_t>(image.bands());
  picture = make_picture(image.width(), image.height(), Rgb{0, 0, 0});
  if (bytes.size() != picture.pixels.size() * bands) return {};
  for (size_t i = 0; i < picture.pixels.size(); ++i)
    picture.pixels[i] = {bytes[i * bands], bytes[i * bands + 1], bytes[i * bands + 2]};
  return picture;
}

std::string band_bytes(const Image &image, int band) {
  VipsImage *one = nullptr;
  if (vips_extract_band(image.get(), &one, band, nullptr) != 0) return {};
  Image owned(one);
  const std::vector<uint8_t> bytes = raw_bytes(one);
  return std::string(bytes.begin(), bytes.end());
}

Image load(const std::string &path) {
  start_vips();
  // From the bytes, decoded at once: a load by name may be answered from
  // an earlier load of the same name.
  const std::vector<uint8_t> bytes = read_file(path);
  Image image(vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr));
  if (!image) {
    ADD_FAILURE() << "cannot read " << path << ": " << vips_failure();
    return image;
  }
  Image decoded(vips_image_copy_memory(image.get()));
  if (!decoded) ADD_FAILURE() << "cannot decode " << path << ": " << vips_failure();
  return decoded;
}

bool save(const Image &image, const std::string &path) {
  if (vips_image_write_to_file(image.get(), path.c_str(), nullptr) == 0) return true;
  ADD_FAILURE() << "cannot write " << path << ": " << vips_failure();
  return false;
}

Image copy_of(const Image &image) {
  VipsImage *out = nullptr;
  vips_copy(image.get(), &out, nullptr);
  return Image(out);
}

std::string loader_of(const std::string &path) {
  start_vips();
  const char *name = vips_foreign_find_load(path.c_str());
  vips_error_clear();
  if (name == nullptr) return "";
  // "VipsForeignLoadJpegFile" -> the nickname "jpegload".
  const VipsObjectClass *type = VIPS_OBJECT_CLASS(g_type_class_ref(g_type_from_name(name)));
  return type != nullptr ? type->nickname : name;
}

std::string blob(const Image &image, const char *name, bool *present) {
  const void *data = nullptr;
  size_t size = 0;
  const bool has = vips_image_get_typeof(image.get(), name) != 0 &&
                   vips_image_get_blob(image.get(), name, &data, &size) == 0;
  if (present != nullptr) *present = has;
  return has ? std::string(static_cast<const char *>(data), size) : std::string();
}

double mean_difference(const TestPicture &a, const TestPicture &b) {
  if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 255;
  uint64_t sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i)
    sum += static_cast<uint64_t>(std::abs(a.pixels[i].r - b.pixels[i].r) + std::abs(a.pixels[i].g - b.pixels[i].g) +
                                 std::abs(a.pixels[i].b - b.pixels[i].b));
  return static_cast<double>(sum) / (3.0 * static_cast<double>(a.pixels.size()));
}

} // namespace tavrin::test

#include "seed_pictures.h"

#include "bmp_builder.h"
#include "le_bytes.h"

namespace tavrin::fuzz {

namespace {

using test::BmpOptions;
using test::Rgb;
using test::TestPicture;

bool inside_ellipse(double x, double y, double cx, double cy, double rx, double ry) {
  const double dx = (x - cx) / rx, dy = (y - cy) / ry;
  return dx * dx + dy * dy <= 1.0;
}

TestPicture face_picture(int32_t width, int32_t height) {
  const double w = width, h = height;
  return test::make_picture(width, height, [&](int x, int y) {
    const Rgb background{70, 90, 120}, skin{224, 172, 140}, dark{40, 25, 20}, lips{150, 60, 60};
    if (!inside_ellipse(x, y, w / 2, h / 2, w * 0.32, h * 0.42)) return background;
    if (inside_ellipse(x, y, w * 0.38, h * 0.40, w * 0.07, h * 0.04) ||
        inside_ellipse(x, y, w * 0.62, h * 0.40, w * 0.07, h * 0.04))
      return dark;
    if (inside_ellipse(x, y, w / 2, h * 0.68, w * 0.12, h * 0.025)) return lips;
    return skin;
  });
}

std::vector<uint8_t> with32(std::vector<uint8_t> bytes, size_t at, uint32_t value) {
  if (bytes.size() >= at + 4) put_le32(bytes.data() + at, value);
  return bytes;
}

std::vector<uint8_t> with16(std::vector<uint8_t> bytes, size_t at, uint16_t value) {
  if (bytes.size() >= at + 2) put_le16(bytes.data() + at, value);
  return bytes;
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size < bytes.size() ? size : bytes.size());
  return bytes;
}

} // namespace

std::vector<uint8_t> make_face_file(int32_t width, int32_t height) {
  return test::encode_bmp(face_picture(width, height));
}

std::vector<SeedFile> make_seed_files() {
  std::vector<SeedFile> seeds;
  auto add = [&](std::string name, std::vector<uint8_t> bytes) {
    seeds.push_back({std::move(name), std::move(bytes)});
  };
  auto encode = [](const TestPicture &p, BmpOptions o) { return test::encode_bmp(p, o); };

  // Valid pictures: odd widths (every padding length), both row orders, long
  // headers, 32 bits, padding that is not zero.
  const TestPicture face = face_picture(33, 41);
  const std::vector<uint8_t> base = encode(face, {});
  add("face-33x41", base);
  add("face-61x75", make_face_file(61, 75));
  add("face-60x44", make_face_file(60, 44));
  add("face-33x41-top-down", encode(face, {.top_down = true}));
  add("face-33x41-header108", encode(face, {.info_header_size = 108}));
  add("face-33x41-header124", encode(face, {.info_header_size = 124}));
  add("face-33x41-32bit", encode(face, {.bits = 32}));
  add("face-34x41-32bit-top-down", encode(face_picture(34, 41), {.top_down = true, .bits = 32}));
  add("face-33x41-padding-ff", encode(face, {.padding_byte = 0xFF}));
  for (auto [w, h] : {std::pair{1, 1}, {2, 3}, {3, 2}, {5, 1}, {1, 9}, {4, 4}, {7, 5}})
    add("plain-" + std::to_string(w) + "x" + std::to_string(h),
        encode(test::make_picture(w, h, [](int x, int y) {
                 return Rgb{static_cast<uint8_t>(40 * x), static_cast<uint8_t>(30 * y), 200};
               }),
               {}));

  // Cut short: inside each header field, at the first pixel, inside a row,
  // inside the last row's padding.
  for (size_t size : {0, 1, 2, 6, 10, 14, 18, 22, 26, 29, 32, 40, 53, 54, 60})
    add("cut-" + std::to_string(size), cut(base, size));
  add("cut-last-padding-byte", cut(base, base.size() - 1));
  add("cut-half-last-row", cut(base, base.size() - 50));

  // Malformed fields.
  std::vector<uint8_t> not_bm = base;
  not_bm[1] = 'A';
  add("signature-BA", not_bm);
  for (uint16_t bits : {0, 1, 8, 16, 32, 48, 0xFFFF})
    add("bits-" + std::to_string(bits), with16(base, 28, bits));
  for (uint32_t compression : {1u, 3u, 0xFFFFFFFFu})
    add("compression-" + std::to_string(compression), with32(base, 30, compression));
  add("compression-3-32bit", with32(encode(face, {.bits = 32}), 30, 3));
  add("header-size-12", with32(base, 14, 12));
  add("header-size-0", with32(base, 14, 0));
  for (int32_t width : {0, -33, 34, 32, 65535, 65536, 0x7FFFFFFF, 0x55555556, INT32_MIN})
    add("width-" + std::to_string(width), with32(base, 18, static_cast<uint32_t>(width)));
  for (int32_t height : {0, 40, 42, -41, 65535, 65536, -65536, INT32_MIN, INT32_MAX})
    add("height-" + std::to_string(height), with32(base, 22, static_cast<uint32_t>(height)));
  for (uint32_t offset : {0u, 13u, 53u, 100u, static_cast<uint32_t>(base.size()), 0x7FFFFFFFu, 0xFFFFFFFFu})
    add("pixel-offset-" + std::to_string(offset), with32(base, 10, offset));
  add("huge-65535x65535-in-100-bytes", cut(with32(with32(base, 18, 65535), 22, 65535), 100));
  add("huge-65535x-65535-in-100-bytes",
      cut(with32(with32(base, 18, 65535), 22, static_cast<uint32_t>(-65535)), 100));
  add("wide-1000x3-in-100-bytes", cut(with32(with32(base, 18, 1000), 22, 3), 100));
  return seeds;
}

} // namespace tavrin::fuzz

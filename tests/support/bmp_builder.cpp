#include "bmp_builder.h"

namespace tavrin::test {

namespace {

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}

} // namespace

uint32_t field32(const std::vector<uint8_t> &file, size_t offset) {
  return file[offset] | (file[offset + 1] << 8) | (file[offset + 2] << 16) |
         (static_cast<uint32_t>(file[offset + 3]) << 24);
}

uint16_t field16(const std::vector<uint8_t> &file, size_t offset) {
  return static_cast<uint16_t>(file[offset] | (file[offset + 1] << 8));
}

TestPicture make_picture(int32_t width, int32_t height, Rgb fill) {
  TestPicture p;
  p.width = width;
  p.height = height;
  p.pixels.assign(static_cast<size_t>(width) * height, fill);
  return p;
}

TestPicture make_picture(int32_t width, int32_t height,
                         const std::function<Rgb(int x, int y)> &colour) {
  TestPicture p = make_picture(width, height, Rgb{0, 0, 0});
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.at(x, y) = colour(x, y);
  return p;
}

std::vector<uint8_t> encode_bmp(const TestPicture &picture, const BmpOptions &options) {
  const size_t bpp = options.bits == 32 ? 4 : 3;
  const size_t stride = (bpp * picture.width + 3) / 4 * 4;
  const size_t offset = 14 + options.info_header_size;
  std::vector<uint8_t> b(offset + stride * picture.height, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, static_cast<uint32_t>(b.size()));
  put32(b, 10, static_cast<uint32_t>(offset));
  put32(b, 14, options.info_header_size);
  put32(b, 18, static_cast<uint32_t>(picture.width));
  put32(b, 22, static_cast<uint32_t>(options.top_down ? -picture.height : picture.height));
  put16(b, 26, 1);
  put16(b, 28, options.bits);
  put32(b, 30, options.compression);
  put32(b, 34, static_cast<uint32_t>(stride * picture.height));
  put32(b, 38, 2835);
  put32(b, 42, 2835);
  for (int y = 0; y < picture.height; ++y) {
    int file_row = options.top_down ? y : picture.height - 1 - y;
    uint8_t *row = b.data() + offset + stride * file_row;
    for (int x = 0; x < picture.width; ++x) {
      const Rgb &c = picture.at(x, y);
      row[bpp * x] = c.b;
      row[bpp * x + 1] = c.g;
      row[bpp * x + 2] = c.r;
      if (bpp == 4) row[bpp * x + 3] = 0xA5;
    }
    for (size_t k = bpp * picture.width; k < stride; ++k) row[k] = options.padding_byte;
  }
  return b;
}

bool decode_bmp24(const std::vector<uint8_t> &file, TestPicture &picture, std::string *why) {
  auto fail = [&](const char *reason) {
    if (why) *why = reason;
    return false;
  };
  if (file.size() < 54) return fail("shorter than a header");
  if (file[0] != 'B' || file[1] != 'M') return fail("no BM signature");
  if (field16(file, 28) != 24) return fail("not 24 bits per pixel");
  if (field32(file, 30) != 0) return fail("compressed");
  int32_t width = static_cast<int32_t>(field32(file, 18));
  int32_t height = static_cast<int32_t>(field32(file, 22));
  if (width <= 0 || height == 0) return fail("bad dimensions");
  bool top_down = height < 0;
  if (top_down) height = -height;
  size_t stride = (3 * static_cast<size_t>(width) + 3) / 4 * 4;
  size_t offset = field32(file, 10);
  if (offset > file.size() || (file.size() - offset) / stride < static_cast<size_t>(height))
    return fail("pixel rows missing");
  picture = make_picture(width, height, Rgb{0, 0, 0});
  for (int r = 0; r < height; ++r) {
    const uint8_t *row = file.data() + offset + stride * r;
    int y = top_down ? r : height - 1 - r;
    for (int x = 0; x < width; ++x) picture.at(x, y) = Rgb{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
  }
  return true;
}

} // namespace tavrin::test

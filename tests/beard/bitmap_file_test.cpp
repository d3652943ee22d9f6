#include <gtest/gtest.h>

#include <cstdio>

#include "beard_canvas.h"
#include "bitmap_file.h"
#include "temp_dir.h"

namespace tavrin::beard::test {
namespace {

using tavrin::test::BmpOptions;
using tavrin::test::TempDir;

TestPicture gradient(int w, int h) {
  return tavrin::test::make_picture(
      w, h, [](int x, int y) { return Rgb{uint8_t(x * 7 + y), uint8_t(y * 5), uint8_t(x ^ (y * 3))}; });
}

TestPicture load_file(const std::vector<uint8_t> &bytes) {
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), bytes);
  BmpHandle image = load_bmp(dir.file("in.bmp").c_str());
  if (!image) return {};
  Canvas canvas(tavrin::test::make_picture(image->width, image->height, Rgb{}));
  canvas.bytes.assign(image->pixels, image->pixels + canvas.bytes.size());
  return canvas.picture();
}

TEST(FieldReaders, BytesPastTheEndReadAsAllOnes) {
  TempDir dir;
  tavrin::test::write_file(dir.file("f"), {0x34, 0x12, 0x78, 0x56, 0x18});
  std::FILE *f = std::fopen(dir.file("f").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(read_u16le(f), 0x1234);
  EXPECT_EQ(read_u16le(f), 0x5678);
  EXPECT_EQ(read_u16le(f), 0xFF18); // the high byte is past the end
  EXPECT_EQ(read_u32le(f), 0xFFFFFFFFu);
  std::fclose(f);
  tavrin::test::write_file(dir.file("g"), {0x01, 0x02});
  f = std::fopen(dir.file("g").c_str(), "rb");
  EXPECT_EQ(read_u32le(f), 0xFFFF0201u);
  std::fclose(f);
}

TEST(BitmapLoad, OrientationsHeaderSizesAndPadding) {
  for (int w : {1, 2, 3, 4, 5}) {
    const TestPicture p = gradient(w, 6);
    EXPECT_EQ(load_file(encode_bmp(p, BmpOptions{.padding_byte = 0xEE})), p) << w;
    EXPECT_EQ(load_file(encode_bmp(p, BmpOptions{.top_down = true})), p) << w;
    EXPECT_EQ(load_file(encode_bmp(p, BmpOptions{.info_header_size = 124})), p) << w;
  }
}

TEST(BitmapSave, WritesTheFixedHeaderAndZeroPaddingAndLoadsBack) {
  TempDir dir;
  for (int w : {1, 2, 4, 7}) {
    const TestPicture p = gradient(w, 3);
    Canvas canvas(p);
    ASSERT_TRUE(save_bmp(dir.file("o.bmp").c_str(), canvas.image()));
    std::vector<uint8_t> expected = encode_bmp(p);
    for (int i = 34; i < 38; ++i) expected[i] = 0; // image size left as 0
    EXPECT_EQ(tavrin::test::read_file(dir.file("o.bmp")), expected) << w;
    EXPECT_EQ(load_file(expected), p);
  }
}

} // namespace
} // namespace tavrin::beard::test

#include <gtest/gtest.h>

#include <climits>

#include "allocation_probe.h"
#include "bmp_files.h"
#include "hat_pictures.h"
#include "temp_dir.h"

namespace tavrin::face_hat {
namespace {

using test::BmpOptions;
using test::encode_bmp;
using test::field16;
using test::field32;
using test::make_picture;
using test::read_file;
using test::Rgb;
using test::TempDir;
using test::TestPicture;
using test::write_file;

TestPicture gradient(int width, int height) {
  return make_picture(width, height, [](int x, int y) {
    return Rgb{static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(y * 13 + 1),
               static_cast<uint8_t>(x * y + 5)};
  });
}

struct Loaded {
  bool ok = false;
  TestPicture picture;
};

Loaded load_bytes(const std::vector<uint8_t> &file) {
  TempDir dir;
  write_file(dir.file("in.bmp"), file);
  int32_t width = -1, height = -1;
  PixelBuffer pixels = load_bmp(dir.file("in.bmp").c_str(), width, height);
  if (!pixels) return {};
  return {true, test::from_rgb_buffer(pixels.get(), width, height)};
}

std::vector<uint8_t> save_bytes(const TestPicture &picture) {
  TempDir dir;
  std::vector<uint8_t> buffer = test::to_rgb_buffer(picture);
  EXPECT_TRUE(save_bmp(dir.file("out.bmp").c_str(), picture.width, picture.height, buffer.data()));
  return read_file(dir.file("out.bmp"));
}

void set32(std::vector<uint8_t> &file, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(BitmapLoad, EveryStoredLayoutGivesTheSameTopFirstPicture) {
  const TestPicture picture = gradient(5, 3);
  std::vector<BmpOptions> layouts(5);
  layouts[1].top_down = true;
  layouts[2].bits = 32;
  layouts[3].bits = 32;
  layouts[3].top_down = true;
  layouts[4].info_header_size = 124; // only the pixel offset locates the rows
  layouts[4].padding_byte = 0xEE;
  for (const BmpOptions &options : layouts) {
    Loaded got = load_bytes(encode_bmp(picture, options));
    ASSERT_TRUE(got.ok) << options.bits << " bits, top_down " << options.top_down;
    EXPECT_EQ(got.picture, picture) << options.bits << " bits, top_down " << options.top_down;
  }
}

TEST(BitmapLoad, TruncatedFilesAreRefused) {
  const std::vector<uint8_t> good = encode_bmp(gradient(5, 3));
  for (size_t size : {size_t{0}, size_t{13}, size_t{14}, size_t{53}, good.size() - 1}) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + size);
    EXPECT_FALSE(load_bytes(cut).ok) << size << " bytes";
  }
  std::vector<uint8_t> far = good;
  set32(far, 10, 1000); // pixel data beyond the end
  EXPECT_FALSE(load_bytes(far).ok);
}

TEST(BitmapLoad, ImpossibleSizesAreRefusedBeforeReadingPixels) {
  const std::vector<uint8_t> good = encode_bmp(gradient(4, 4));
  auto with_size = [&](int32_t width, int32_t height) {
    std::vector<uint8_t> file = good;
    set32(file, 18, static_cast<uint32_t>(width));
    set32(file, 22, static_cast<uint32_t>(height));
    return load_bytes(file).ok;
  };
  EXPECT_TRUE(with_size(4, 4));
  EXPECT_TRUE(with_size(4, -4));
  EXPECT_FALSE(with_size(0, 4));
  EXPECT_FALSE(with_size(-4, 4));
  EXPECT_FALSE(with_size(4, 0));
  EXPECT_FALSE(with_size(4, INT_MIN));
  EXPECT_FALSE(with_size(INT_MAX, 1));    // the saved file could not state its size
  EXPECT_FALSE(with_size(65535, 65535));  // gigabytes promised by a 102-byte file
  EXPECT_FALSE(with_size(30000, -20000)); // fits the size field, not the file
}

// The header is checked against the file's length before anything is
// allocated, so a forged size costs nothing.
TEST(BitmapLoad, ShortFileWithAHugeHeaderAllocatesNothingLarge) {
  std::vector<uint8_t> file = encode_bmp(gradient(4, 4));
  set32(file, 18, 30000);
  set32(file, 22, 20000);
  file.resize(100);
  test::reset_allocation_probe();
  EXPECT_FALSE(load_bytes(file).ok);
  EXPECT_LT(test::largest_allocation(), 4096u);
  // A real file allocates its picture (not with new[]) and a chunk of rows:
  // here all 30 rows of 120 bytes.
  test::reset_allocation_probe();
  EXPECT_TRUE(load_bytes(encode_bmp(gradient(40, 30))).ok);
  EXPECT_EQ(test::largest_allocation(), 30u * 120);
}

TEST(BitmapSave, HeaderAndRowsOfTheWrittenFile) {
  const int strides[] = {4, 8, 12, 12};
  for (int width = 1; width <= 4; ++width) {
    const TestPicture picture = gradient(width, 3);
    const std::vector<uint8_t> file = save_bytes(picture);
    const size_t stride = strides[width - 1];
    ASSERT_EQ(file.size(), 54 + stride * 3) << "width " << width;
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(field32(file, 2), file.size());
    EXPECT_EQ(field32(file, 6), 0u);
    EXPECT_EQ(field32(file, 10), 54u);
    EXPECT_EQ(field32(file, 14), 40u);
    EXPECT_EQ(field32(file, 18), static_cast<uint32_t>(width));
    EXPECT_EQ(field32(file, 22), 3u);
    EXPECT_EQ(field16(file, 26), 1);
    EXPECT_EQ(field16(file, 28), 24);
    EXPECT_EQ(field32(file, 30), 0u);
    EXPECT_EQ(field32(file, 34), stride * 3);
    for (size_t at = 38; at < 54; ++at) EXPECT_EQ(file[at], 0) << "header byte " << at;
    for (size_t row = 0; row < 3; ++row)
      for (size_t k = 3 * width; k < stride; ++k)
        EXPECT_EQ(file[54 + row * stride + k], 0) << "padding of width " << width;
    // Bottom row first, blue green red.
    const Rgb bottom_left = picture.at(0, 2);
    EXPECT_EQ(file[54], bottom_left.b);
    EXPECT_EQ(file[55], bottom_left.g);
    EXPECT_EQ(file[56], bottom_left.r);
    TestPicture decoded;
    ASSERT_TRUE(test::decode_bmp24(file, decoded));
    EXPECT_EQ(decoded, picture);
  }
}

TEST(BitmapSave, LoadingAndSavingAgainGivesTheSameBytes) {
  const std::vector<uint8_t> first = save_bytes(gradient(7, 5));
  Loaded again = load_bytes(first);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(save_bytes(again.picture), first);
}

TEST(BitmapSave, FailedWritesAreReported) {
  std::vector<uint8_t> buffer = test::to_rgb_buffer(gradient(64, 64));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(save_bmp("/dev/full", 64, 64, buffer.data()));
  EXPECT_FALSE(save_bmp("/dev/full", 1, 1, buffer.data())); // fails only on close
  EXPECT_FALSE(save_bmp("/nonexistent-dir/out.bmp", 64, 64, buffer.data()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Cannot write: /dev/full\nCannot write: /dev/full\nCannot write: /nonexistent-dir/out.bmp\n");
}

} // namespace
} // namespace tavrin::face_hat

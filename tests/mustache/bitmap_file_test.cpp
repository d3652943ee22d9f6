#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bitmap_file.h"
#include "bmp_builder.h"
#include "picture_helpers.h"
#include "temp_dir.h"

namespace tavrin::mustache {
namespace {

using tavrin::test::BmpOptions;
using tavrin::test::encode_bmp;
using tavrin::test::field16;
using tavrin::test::field32;
using tavrin::test::make_picture;
using tavrin::test::read_file;
using tavrin::test::TempDir;
using tavrin::test::TestPicture;
using tavrin::test::write_file;

TestPicture pattern(int width, int height) {
  return make_picture(width, height, [](int x, int y) {
    return test::Rgb{static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(x + 13 * y),
                     static_cast<uint8_t>(200 - x - y)};
  });
}

void expect_same_pixels(const RgbImage &image, const TestPicture &picture) {
  ASSERT_EQ(image.width, picture.width);
  ASSERT_EQ(image.height, picture.height);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x)
      ASSERT_EQ(test::pixel_at(image, x, y), picture.at(x, y)) << x << "," << y;
}

// Loads `bytes` from a file, expecting a refusal, and returns what was
// printed on standard error with the file's path shown as IN.
std::string load_failure(const std::vector<uint8_t> &bytes) {
  TempDir dir;
  const std::string path = dir.file("in.bmp");
  write_file(path, bytes);
  testing::internal::CaptureStderr();
  RgbImagePtr image = load_bmp(path.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(image, nullptr);
  if (size_t at = err.find(path); at != std::string::npos) err.replace(at, path.size(), "IN");
  return err;
}

std::vector<uint8_t> with_size(std::vector<uint8_t> file, int32_t width, int32_t height) {
  std::memcpy(file.data() + 18, &width, 4);
  std::memcpy(file.data() + 22, &height, 4);
  return file;
}

TEST(BitmapFile, LoadsBottomUpTopDownAndLongHeadersToTheSamePicture) {
  const TestPicture picture = pattern(5, 4);
  BmpOptions top_down, long_header, odd_padding;
  top_down.top_down = true;
  long_header.info_header_size = 124;
  odd_padding.padding_byte = 0xEE;
  for (const BmpOptions &options : {BmpOptions{}, top_down, long_header, odd_padding}) {
    TempDir dir;
    write_file(dir.file("in.bmp"), encode_bmp(picture, options));
    RgbImagePtr image = load_bmp(dir.file("in.bmp").c_str());
    ASSERT_NE(image, nullptr);
    expect_same_pixels(*image, picture);
  }
}

TEST(BitmapFile, SavesBottomUpWithPaddedRowsAndItsOwnHeaderFields) {
  for (int width = 1; width <= 4; ++width) {
    SCOPED_TRACE(width);
    const int height = 3;
    const uint32_t stride = (3 * width + 3) / 4 * 4;
    TempDir dir;
    BmpOptions top_down;
    top_down.top_down = true;
    top_down.padding_byte = 0x5A;
    write_file(dir.file("in.bmp"), encode_bmp(pattern(width, height), top_down));
    RgbImagePtr image = load_bmp(dir.file("in.bmp").c_str());
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(save_bmp(dir.file("out.bmp").c_str(), *image));

    const std::vector<uint8_t> out = read_file(dir.file("out.bmp"));
    ASSERT_EQ(out.size(), 54 + stride * height);
    EXPECT_EQ(field16(out, 0), 0x4D42);
    EXPECT_EQ(field32(out, 2), out.size());
    EXPECT_EQ(field32(out, 6), 0u);
    EXPECT_EQ(field32(out, 10), 54u);
    EXPECT_EQ(field32(out, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(field32(out, 18)), width);
    EXPECT_EQ(static_cast<int32_t>(field32(out, 22)), height); // positive: bottom row first
    EXPECT_EQ(field16(out, 26), 1);
    EXPECT_EQ(field16(out, 28), 24);
    EXPECT_EQ(field32(out, 30), 0u);
    EXPECT_EQ(field32(out, 34), stride * height);
    for (size_t at = 38; at < 54; at += 4) EXPECT_EQ(field32(out, at), 0u) << at;
    // Bottom row first, blue first, padding zero.
    EXPECT_EQ(out[54], pattern(width, height).at(0, height - 1).b);
    EXPECT_EQ(out[56], pattern(width, height).at(0, height - 1).r);
    for (uint32_t row = 0; row < static_cast<uint32_t>(height); ++row)
      for (uint32_t k = 3 * width; k < stride; ++k) EXPECT_EQ(out[54 + row * stride + k], 0);

    TestPicture back;
    ASSERT_TRUE(tavrin::test::decode_bmp24(out, back));
    EXPECT_EQ(back, pattern(width, height));
  }
}

TEST(BitmapFile, RefusesUnreadableFilesWithTheirOwnMessages) {
  const std::vector<uint8_t> good = encode_bmp(pattern(3, 2));
  TempDir dir;
  const std::string missing = dir.file("missing.bmp");
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_bmp(missing.c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open: " + missing + "\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_bmp(nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open: (null)\n");

  EXPECT_EQ(load_failure({}), "Not a BMP file: IN\n");
  EXPECT_EQ(load_failure({good.begin(), good.begin() + 13}), "Not a BMP file: IN\n");
  std::vector<uint8_t> wrong_type = good;
  wrong_type[0] = 'M';
  wrong_type[1] = 'B';
  EXPECT_EQ(load_failure(wrong_type), "Not a BMP file: IN\n");
  EXPECT_EQ(load_failure({good.begin(), good.begin() + 14}), "Bad BMP header: IN\n");
  EXPECT_EQ(load_failure({good.begin(), good.begin() + 53}), "Bad BMP header: IN\n");

  const std::string only24 = "Only uncompressed 24-bit BMP supported.\n";
  BmpOptions bits32, bits8, rle;
  bits32.bits = 32;
  bits8.bits = 8;
  rle.compression = 1;
  EXPECT_EQ(load_failure(encode_bmp(pattern(3, 2), bits32)), only24);
  EXPECT_EQ(load_failure(encode_bmp(pattern(3, 2), bits8)), only24);
  EXPECT_EQ(load_failure(encode_bmp(pattern(3, 2), rle)), only24);
  // Bits and compression are checked before the size.
  EXPECT_EQ(load_failure(with_size(encode_bmp(pattern(3, 2), bits32), 0, 0)), only24);

  const std::string eof = "Unexpected EOF reading pixel data.\n";
  const std::vector<uint8_t> width1 = encode_bmp(pattern(1, 3)); // rows of 3 bytes + 1 padding
  EXPECT_EQ(load_failure({width1.begin(), width1.end() - 1}), eof); // only padding missing
  EXPECT_EQ(load_failure({good.begin(), good.end() - 9}), eof);    // a whole row missing
  EXPECT_EQ(load_failure({good.begin(), good.begin() + 54}), eof); // no pixels at all
  std::vector<uint8_t> far_offset = good;
  far_offset[10] = 0xFF; // pixel data said to start past the end
  EXPECT_EQ(load_failure(far_offset), eof);
}

TEST(BitmapFile, RefusesSizesItCannotHoldOrSaveBeforeAllocating) {
  const std::vector<uint8_t> good = encode_bmp(pattern(3, 2));
  for (auto [width, height] : std::vector<std::pair<int32_t, int32_t>>{
           {0, 2}, {-3, 2}, {INT_MIN, 2}, {3, 0}, {3, INT_MIN}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    EXPECT_EQ(load_failure(with_size(good, width, height)), "Unsupported BMP dimensions: IN\n");
  }
  // A short file lacks its pixels whatever size its header claims.
  for (auto [width, height] : std::vector<std::pair<int32_t, int32_t>>{
           {30000, 30000}, {715827865, 1}, {715827864, 1}, {65535, -65535}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    EXPECT_EQ(load_failure(with_size(good, width, height)), "Unexpected EOF reading pixel data.\n");
  }
  // A (sparse) file that holds every row of a picture whose saved size would
  // pass 32 bits: the widest one-row picture that fits is 715827864 pixels
  // (54 + 2147483592 bytes).
  for (auto [width, height] : std::vector<std::pair<int32_t, int32_t>>{{30000, 30000}, {715827865, 1}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    TempDir dir;
    const std::string path = dir.file("in.bmp");
    std::vector<uint8_t> header = with_size(good, width, height);
    header.resize(54);
    write_file(path, header);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(54 + (int64_t{width} * 3 + 3) / 4 * 4 * height)), 0);
    testing::internal::CaptureStderr();
    RgbImagePtr image = load_bmp(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported BMP dimensions: " + path + "\n");
    EXPECT_EQ(image, nullptr);
  }
}

TEST(BitmapFile, HeaderPromisingMorePixelsThanTheFileHoldsAllocatesNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address space limits do not mix with the sanitizer";
#else
  // 16000 x 16000 fits the size fields (768 MB of pixels) but not a 100-byte
  // file. Under a 256 MiB address-space limit a loader that allocated first
  // would fail silently instead of naming the missing pixels.
  TempDir dir;
  std::vector<uint8_t> bytes = with_size(encode_bmp(pattern(3, 2)), 16000, 16000);
  bytes.resize(100);
  write_file(dir.file("in.bmp"), bytes);
  const std::string err_path = dir.file("err.txt");
  pid_t child = fork();
  if (child == 0) {
    rlimit limit{256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &limit);
    if (!freopen(err_path.c_str(), "w", stderr)) _exit(3);
    RgbImagePtr image = load_bmp(dir.file("in.bmp").c_str());
    std::fflush(stderr);
    _exit(image ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<uint8_t> err = read_file(err_path);
  EXPECT_EQ(std::string(err.begin(), err.end()), "Unexpected EOF reading pixel data.\n");
#endif
}

TEST(BitmapFile, StreamsWithoutALengthAreReadForwardAndCheckedRowByRow) {
  const TestPicture picture = pattern(6, 5);
  BmpOptions long_header;
  long_header.info_header_size = 124;
  struct Case {
    std::vector<uint8_t> bytes;
    bool loads;
  };
  std::vector<uint8_t> cut = encode_bmp(picture);
  cut.pop_back();
  for (const Case &c : {Case{encode_bmp(picture), true}, Case{encode_bmp(picture, long_header), true},
                        Case{cut, false}}) {
    TempDir dir;
    const std::string fifo = dir.file("pipe.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
      std::FILE *f = std::fopen(fifo.c_str(), "wb");
      std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
      std::fclose(f);
    });
    testing::internal::CaptureStderr();
    RgbImagePtr image = load_bmp(fifo.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    writer.join();
    if (c.loads) {
      ASSERT_NE(image, nullptr);
      expect_same_pixels(*image, picture);
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(image, nullptr);
      EXPECT_EQ(err, "Unexpected EOF reading pixel data.\n");
    }
  }
}

TEST(BitmapFile, WriteFailuresAreReportedNotHidden) {
  // A large picture fails while its rows are written, a small one only when
  // the buffered bytes reach the device at the close.
  RgbImagePtr image = test::make_image(64, 64, [](int, int) { return test::kSkin; });
  RgbImagePtr tiny = test::make_image(4, 4, [](int, int) { return test::kSkin; });
  for (const RgbImage *picture : {image.get(), tiny.get()})
    for (const char *path : {"/dev/full", "/nonexistent-folder/out.bmp"}) {
      testing::internal::CaptureStderr();
      EXPECT_FALSE(save_bmp(path, *picture));
      EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("Cannot write: ") + path + "\n");
    }
  testing::internal::CaptureStderr();
  EXPECT_FALSE(save_bmp(nullptr, *image));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot write: (null)\n");
}

} // namespace
} // namespace tavrin::mustache

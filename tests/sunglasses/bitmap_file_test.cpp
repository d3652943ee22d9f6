#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bitmap_file.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace tavrin::sunglasses {
namespace {

using tavrin::test::BmpOptions;
using tavrin::test::TempDir;
using test::ImageBuffer;
using test::Rgb;
using test::TestPicture;

const char kTruncatedRows[] = "Truncated BMP pixel data.\n";
const char kUnsupported[] = "Only uncompressed 24-bit BMP supported.\n";

TestPicture numbered_picture(int width, int height) {
  return tavrin::test::make_picture(width, height, [](int x, int y) {
    return Rgb{static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(y * 13 + 1),
               static_cast<uint8_t>(x + y * 31 + 5)};
  });
}

TestPicture to_picture(const BmpImage &image) {
  TestPicture p = tavrin::test::make_picture(image.width, image.height, Rgb{0, 0, 0});
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const uint8_t *px = image.pixels + (static_cast<size_t>(y) * image.width + x) * 3;
      p.at(x, y) = Rgb{px[2], px[1], px[0]};
    }
  return p;
}

// Loads `bytes` from a file and returns what the loader wrote on stderr.
std::string load_error(const std::vector<uint8_t> &bytes, BmpImagePtr *kept = nullptr) {
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), bytes);
  testing::internal::CaptureStderr();
  BmpImagePtr image = load_bmp(dir.file("in.bmp").c_str());
  std::string err = testing::internal::GetCapturedStderr();
  if (kept) *kept = std::move(image);
  else EXPECT_EQ(image, nullptr);
  return err;
}

void set32(std::vector<uint8_t> &file, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(BitmapFile, RowPaddingOfNarrowWidths) {
  EXPECT_EQ(row_padding(1), 1);
  EXPECT_EQ(row_padding(2), 2);
  EXPECT_EQ(row_padding(3), 3);
  EXPECT_EQ(row_padding(4), 0);
}

TEST(BitmapFile, NarrowWidthsLoadAndSaveExactly) {
  for (int width = 1; width <= 4; ++width) {
    SCOPED_TRACE(width);
    const TestPicture picture = numbered_picture(width, 3);
    BmpOptions options;
    options.padding_byte = 0xEE; // must be skipped on reading, written as zero
    BmpImagePtr image;
    EXPECT_EQ(load_error(tavrin::test::encode_bmp(picture, options), &image), "");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(to_picture(*image), picture);

    TempDir dir;
    ASSERT_TRUE(save_bmp(dir.file("out.bmp").c_str(), *image));
    const std::vector<uint8_t> saved = tavrin::test::read_file(dir.file("out.bmp"));
    const std::vector<uint8_t> expected = tavrin::test::encode_bmp(picture); // zero padding
    ASSERT_EQ(saved.size(), expected.size());
    EXPECT_TRUE(std::equal(saved.begin() + 54, saved.end(), expected.begin() + 54));
  }
}

TEST(BitmapFile, SavedHeaderHasFixedFields) {
  ImageBuffer buffer(numbered_picture(5, 2));
  TempDir dir;
  ASSERT_TRUE(save_bmp(dir.file("out.bmp").c_str(), buffer.image));
  const std::vector<uint8_t> file = tavrin::test::read_file(dir.file("out.bmp"));
  ASSERT_EQ(file.size(), 54u + 16u * 2u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(tavrin::test::field32(file, 2), file.size());
  EXPECT_EQ(tavrin::test::field32(file, 6), 0u);
  EXPECT_EQ(tavrin::test::field32(file, 10), 54u);
  EXPECT_EQ(tavrin::test::field32(file, 14), 40u);
  EXPECT_EQ(tavrin::test::field32(file, 18), 5u);
  EXPECT_EQ(tavrin::test::field32(file, 22), 2u);
  EXPECT_EQ(tavrin::test::field16(file, 26), 1u);
  EXPECT_EQ(tavrin::test::field16(file, 28), 24u);
  for (size_t at = 30; at < 54; at += 4) EXPECT_EQ(tavrin::test::field32(file, at), 0u) << at;
}

TEST(BitmapFile, TopDownAndLongHeadersLoadLikePlainFiles) {
  const TestPicture picture = numbered_picture(7, 5);
  for (BmpOptions options : {BmpOptions{.top_down = true}, BmpOptions{.info_header_size = 56},
                             BmpOptions{.top_down = true, .info_header_size = 124}}) {
    BmpImagePtr image;
    EXPECT_EQ(load_error(tavrin::test::encode_bmp(picture, options), &image), "");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->height, 5);
    EXPECT_EQ(to_picture(*image), picture);
  }
}

// Tall pictures take many batches of rows, whether padded or not, and read
// the same from a file and from a pipe, which gets the stream's way.
TEST(BitmapFile, TallPicturesLoadAndSaveThroughFilesAndPipes) {
  for (const auto &[width, height] : {std::pair{3, 1200}, std::pair{4, 700}}) {
    const TestPicture picture = numbered_picture(width, height);
    const std::vector<uint8_t> plain = tavrin::test::encode_bmp(picture);
    for (bool top_down : {false, true}) {
      SCOPED_TRACE(testing::Message() << width << "x" << height << (top_down ? " top-down" : ""));
      const std::vector<uint8_t> file = tavrin::test::encode_bmp(picture, {.top_down = top_down});
      BmpImagePtr image;
      EXPECT_EQ(load_error(file, &image), "");
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(to_picture(*image), picture);

      // The whole file fits the pipe's buffer.
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      ASSERT_LT(file.size(), 65536u);
      const bool written = write(fds[1], file.data(), file.size()) == static_cast<ssize_t>(file.size());
      close(fds[1]);
      BmpImagePtr piped = written ? load_bmp(("/dev/fd/" + std::to_string(fds[0])).c_str()) : nullptr;
      close(fds[0]);
      ASSERT_NE(piped, nullptr);
      EXPECT_EQ(to_picture(*piped), picture);

      TempDir dir;
      ASSERT_TRUE(save_bmp(dir.file("out.bmp").c_str(), *image));
      const std::vector<uint8_t> saved = tavrin::test::read_file(dir.file("out.bmp"));
      ASSERT_EQ(saved.size(), plain.size());
      EXPECT_TRUE(std::equal(saved.begin() + 54, saved.end(), plain.begin() + 54)); // the rows
    }
  }
}

TEST(BitmapFile, MissingFileNamesThePath) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_bmp("/nonexistent/in.bmp"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open /nonexistent/in.bmp\n");
}

TEST(BitmapFile, RefusesOtherFormats) {
  const TestPicture picture = numbered_picture(3, 3);
  EXPECT_EQ(load_error(tavrin::test::encode_bmp(picture, {.bits = 32})), kUnsupported);
  EXPECT_EQ(load_error(tavrin::test::encode_bmp(picture, {.bits = 8})), kUnsupported);
  EXPECT_EQ(load_error(tavrin::test::encode_bmp(picture, {.compression = 1})), kUnsupported);
  std::vector<uint8_t> not_bm = tavrin::test::encode_bmp(picture);
  not_bm[1] = 'A';
  EXPECT_EQ(load_error(not_bm), kUnsupported);
}

TEST(BitmapFile, RefusesShortHeadersAndImpossibleSizes) {
  std::vector<uint8_t> file = tavrin::test::encode_bmp(numbered_picture(4, 4));
  EXPECT_EQ(load_error(std::vector<uint8_t>(file.begin(), file.begin() + 53)),
            "Truncated BMP header.\n");
  EXPECT_EQ(load_error({}), "Truncated BMP header.\n");

  auto with_size = [&](int32_t width, int32_t height) {
    std::vector<uint8_t> f = file;
    set32(f, 18, static_cast<uint32_t>(width));
    set32(f, 22, static_cast<uint32_t>(height));
    return load_error(f);
  };
  EXPECT_EQ(with_size(0, 4), "Unsupported BMP size 0 x 4.\n");
  EXPECT_EQ(with_size(-4, 4), "Unsupported BMP size -4 x 4.\n");
  EXPECT_EQ(with_size(4, 0), "Unsupported BMP size 4 x 0.\n");
  EXPECT_EQ(with_size(4, INT32_MIN), "Unsupported BMP size 4 x -2147483648.\n");
  // A short file reads as truncated whatever size its header claims.
  EXPECT_EQ(with_size(715827865, 1), kTruncatedRows);
  EXPECT_EQ(with_size(715827864, -1), kTruncatedRows);
  EXPECT_EQ(with_size(65535, 65535), kTruncatedRows);
  EXPECT_EQ(with_size(20000, -20000), kTruncatedRows);
}

// 54 + stride x height must stay within a signed 32-bit file size: a width of
// 715827864 gives a 2147483592-byte row, the largest that fits. A (sparse)
// file that holds the rows of a wider picture is refused for its size.
TEST(BitmapFile, RefusesPicturesTooLargeToSave) {
  std::vector<uint8_t> file = tavrin::test::encode_bmp(numbered_picture(4, 4));
  file.resize(54);
  auto sparse_with_size = [&](int32_t width, int32_t height, int64_t length) {
    std::vector<uint8_t> f = file;
    set32(f, 18, static_cast<uint32_t>(width));
    set32(f, 22, static_cast<uint32_t>(height));
    TempDir dir;
    tavrin::test::write_file(dir.file("in.bmp"), f);
    EXPECT_EQ(truncate(dir.file("in.bmp").c_str(), static_cast<off_t>(length)), 0);
    testing::internal::CaptureStderr();
    BmpImagePtr image = load_bmp(dir.file("in.bmp").c_str());
    EXPECT_EQ(image, nullptr);
    return testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ(sparse_with_size(715827865, 1, 54 + int64_t{2147483596}), "BMP too large: 715827865 x 1.\n");
  EXPECT_EQ(sparse_with_size(30000, -30000, 54 + int64_t{90000} * 30000),
            "BMP too large: 30000 x 30000.\n");
}

TEST(BitmapFile, CutRowsAreRefusedButAMissingLastPaddingIsNot) {
  const TestPicture picture = numbered_picture(3, 4); // 9 pixel bytes + 3 padding per row
  const std::vector<uint8_t> file = tavrin::test::encode_bmp(picture);
  for (size_t missing : {1u, 2u, 3u}) {
    SCOPED_TRACE(missing);
    BmpImagePtr image;
    EXPECT_EQ(load_error(std::vector<uint8_t>(file.begin(), file.end() - missing), &image), "");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(to_picture(*image), picture);
  }
  EXPECT_EQ(load_error(std::vector<uint8_t>(file.begin(), file.end() - 4)), kTruncatedRows);
  EXPECT_EQ(load_error(std::vector<uint8_t>(file.begin(), file.begin() + 54)), kTruncatedRows);
  // The same for a top-down file, whose last stored row is the bottom row.
  const std::vector<uint8_t> top_down = tavrin::test::encode_bmp(picture, {.top_down = true});
  BmpImagePtr image;
  EXPECT_EQ(load_error(std::vector<uint8_t>(top_down.begin(), top_down.end() - 3), &image), "");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(to_picture(*image), picture);

  std::vector<uint8_t> far_offset = file;
  set32(far_offset, 10, 4000);
  EXPECT_EQ(load_error(far_offset), kTruncatedRows);
}

#if !defined(__SANITIZE_ADDRESS__)
// A header promising 20000 x 20000 pixels on a 100-byte file is refused from
// the file's length, before 1.2 GB would be asked for: with the data limit
// below that size an early allocation would fail and say so instead.
TEST(BitmapFile, HugeHeaderOnShortFileAllocatesNothing) {
  std::vector<uint8_t> file = tavrin::test::encode_bmp(numbered_picture(4, 4));
  file.resize(100);
  set32(file, 18, 20000);
  set32(file, 22, 20000);
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), file);
  const std::string err_path = dir.file("err");
  pid_t child = fork();
  if (child == 0) {
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    rlimit limit{256u << 20, 256u << 20};
    if (err < 0 || dup2(err, 2) < 0 || setrlimit(RLIMIT_DATA, &limit) != 0) _exit(2);
    _exit(load_bmp(dir.file("in.bmp").c_str()) == nullptr ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<uint8_t> err = tavrin::test::read_file(err_path);
  EXPECT_EQ(std::string(err.begin(), err.end()), kTruncatedRows);
}
#endif

TEST(BitmapFile, WriteFailuresAreReported) {
  ImageBuffer buffer(numbered_picture(8, 8));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(save_bmp("/dev/full", buffer.image));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot write /dev/full\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(save_bmp("/nonexistent/out.bmp", buffer.image));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot write /nonexistent/out.bmp\n");
}

} // namespace
} // namespace tavrin::sunglasses

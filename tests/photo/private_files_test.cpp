// The photo path's own files: the plug-in's BMPs read back row by row
// (padding, odd heights, both row orders, several threads), staged
// outputs, and the plug-in's lines getting the user's names back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <filesystem>
#include <vector>

#include "bmp_header.h"
#include "photo/codec.h"
#include "photo/private_bmp.h"
#include "photo/private_names.h"
#include "photo/staging.h"
#include "temp_dir.h"
#include "vips_pictures.h"

namespace tavrin::photo {
namespace {

std::vector<uint8_t> numbered(int32_t width, int32_t height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + i / 5);
  return rgb;
}

int memory_file() { return memfd_create("test", MFD_CLOEXEC); }

std::vector<uint8_t> read_all(const Bmp24Rows &rows) {
  std::vector<uint8_t> out(static_cast<size_t>(rows.width()) * rows.height() * 3);
  EXPECT_TRUE(rows.read(0, rows.height(), 0, rows.width(), out.data(), static_cast<size_t>(rows.width()) * 3));
  return out;
}

// Every width of the four paddings, even and odd heights, taller than one
// batch of rows; whole, in strips and in columns, as an encoder asks.
TEST(PrivateBmp, WrittenThenReadBackGivesTheRows) {
  for (int32_t width : {1, 2, 3, 4, 5, 7, 33}) {
    for (int32_t height : {1, 2, 3, 64, 65, 1029}) {
      SCOPED_TRACE(testing::Message() << width << "x" << height);
      const std::vector<uint8_t> rgb = numbered(width, height);
      jobs::UniqueFd fd(memory_file());
      std::string why;
      ASSERT_TRUE(write_bmp24(fd.get(), {rgb.data(), width, height}, why)) << why;
      struct stat st {};
      fstat(fd.get(), &st);
      EXPECT_EQ(st.st_size, 54 + bmp_stride(width, 3) * height);

      RgbPixels copy;
      ASSERT_TRUE(read_bmp24(fd.get(), copy, why)) << why;
      EXPECT_EQ(std::vector<uint8_t>(copy.data.get(), copy.data.get() + copy.size()), rgb);

      Bmp24Rows rows;
      ASSERT_TRUE(rows.open(fd.get(), why)) << why;
      ASSERT_EQ(rows.width(), width);
      ASSERT_EQ(rows.height(), height);
      // Strips of 7 rows into a buffer wider than the rows.
      const size_t row = static_cast<size_t>(width) * 3, wide = row + 5;
      std::vector<uint8_t> strip(7 * wide);
      for (int32_t top = 0; top < height; top += 7) {
        const int32_t n = std::min(7, height - top);
        ASSERT_TRUE(rows.read(top, n, 0, width, strip.data(), wide));
        for (int32_t i = 0; i < n; ++i)
          ASSERT_TRUE(std::equal(strip.begin() + i * wide, strip.begin() + i * wide + row,
                                 rgb.begin() + (top + i) * row))
              << "row " << top + i;
      }
      // The right-hand columns of the bottom rows.
      const int32_t left = width / 2, columns = width - left, count = std::min(height, 3);
      std::vector<uint8_t> part(static_cast<size_t>(columns) * 3 * count);
      ASSERT_TRUE(rows.read(height - count, count, left, columns, part.data(), static_cast<size_t>(columns) * 3));
      for (int32_t i = 0; i < count; ++i)
        EXPECT_TRUE(std::equal(part.begin() + i * columns * 3, part.begin() + (i + 1) * columns * 3,
                               rgb.begin() + (height - count + i) * row + left * 3));
      // Outside the picture.
      EXPECT_FALSE(rows.read(height - count, count + 1, 0, width, part.data(), row));
      EXPECT_FALSE(rows.read(0, 1, left, columns + 1, part.data(), row));
    }
  }
}

// libvips asks for rows from several threads at once.
TEST(PrivateBmp, RowsReadFromTwoThreadsAtOnce) {
  const int32_t width = 101, height = 600;
  const std::vector<uint8_t> rgb = numbered(width, height);
  jobs::UniqueFd fd(memory_file());
  std::string why;
  ASSERT_TRUE(write_bmp24(fd.get(), {rgb.data(), width, height}, why)) << why;
  Bmp24Rows rows;
  ASSERT_TRUE(rows.open(fd.get(), why)) << why;
  std::vector<uint8_t> a(rgb.size()), b(rgb.size());
  const size_t row = static_cast<size_t>(width) * 3;
  const auto every_other = [&](std::vector<uint8_t> &out, int32_t first) {
    for (int32_t y = first; y < height; y += 2) rows.read(y, 1, 0, width, out.data() + y * row, row);
  };
  std::thread even(every_other, std::ref(a), 0);
  every_other(b, 1);
  even.join();
  for (int32_t y = 0; y < height; ++y)
    ASSERT_TRUE(std::equal(y % 2 ? b.begin() + y * row : a.begin() + y * row,
                           (y % 2 ? b.begin() : a.begin()) + (y + 1) * row, rgb.begin() + y * row))
        << "row " << y;
}

TEST(PrivateBmp, TopDownRowsAndShortOrForeignFiles) {
  const int32_t width = 3, height = 5;
  const std::vector<uint8_t> rgb = numbered(width, height);
  const int64_t stride = bmp_stride(width, 3);
  std::vector<uint8_t> file(54 + stride * height, 0);
  fill_bmp24_header(file.data(), width, -height, 0, 0);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width * 3; x += 3)
      for (int c = 0; c < 3; ++c) file[54 + y * stride + x + c] = rgb[(y * width * 3) + x + 2 - c];
  jobs::UniqueFd fd(memory_file());
  ASSERT_EQ(write(fd.get(), file.data(), file.size()), static_cast<ssize_t>(file.size()));
  Bmp24Rows rows;
  std::string why;
  ASSERT_TRUE(rows.open(fd.get(), why)) << why;
  EXPECT_EQ(read_all(rows), rgb);

  // One byte short of the rows the header promises.
  jobs::UniqueFd short_fd(memory_file());
  ASSERT_EQ(write(short_fd.get(), file.data(), file.size() - 1), static_cast<ssize_t>(file.size() - 1));
  Bmp24Rows short_rows;
  EXPECT_FALSE(short_rows.open(short_fd.get(), why));
  // Cut after it was opened: a read fails instead of handing back old bytes.
  ASSERT_EQ(ftruncate(fd.get(), 54 + stride * 2), 0);
  std::vector<uint8_t> out(rgb.size());
  EXPECT_FALSE(rows.read(0, height, 0, width, out.data(), width * 3));
  EXPECT_TRUE(rows.read(0, 2, 0, width, out.data(), width * 3)); // top-down: the first rows are still there
  // A 32-bit picture is not what a plug-in writes.
  file[28] = 32;
  jobs::UniqueFd other(memory_file());
  ASSERT_EQ(write(other.get(), file.data(), file.size()), static_cast<ssize_t>(file.size()));
  RgbPixels pixels;
  EXPECT_FALSE(read_bmp24(other.get(), pixels, why));
  jobs::UniqueFd empty(memory_file());
  EXPECT_FALSE(read_bmp24(empty.get(), pixels, why));
  EXPECT_EQ(why, "the plug-in wrote no picture");
}

TEST(StagedOutput, InvisibleUntilCommittedThenOrdinary) {
  test::TempDir dir;
  const std::string out = dir.file("out.png");
  test::write_file(out, {'o', 'l', 'd'});
  chmod(out.c_str(), 0640);
  {
    StagedOutputFile staged;
    std::string why;
    ASSERT_TRUE(staged.open(out, why)) << why;
    ASSERT_EQ(write(staged.fd(), "new", 3), 3);
    // Until the commit, the folder shows only the old output.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    ASSERT_TRUE(staged.commit(why)) << why;
  }
  EXPECT_EQ(test::read_file(out), (std::vector<uint8_t>{'n', 'e', 'w'}));
  struct stat st {};
  stat(out.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the output keeps the mode it had";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  {
    StagedOutputFile abandoned;
    std::string why;
    ASSERT_TRUE(abandoned.open(out, why)) << why;
    ASSERT_EQ(write(abandoned.fd(), "half", 4), 4);
  }
  EXPECT_EQ(test::read_file(out), (std::vector<uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  StagedOutputFile folder;
  std::string why;
  EXPECT_FALSE(folder.open(dir.path(), why));
}

TEST(PrivateNames, PluginLinesGetTheUsersNames) {
  const std::string in = "/proc/self/fd/" + std::to_string(kPluginInputFd);
  const std::string out = "/proc/self/fd/" + std::to_string(kPluginOutputFd);
  EXPECT_EQ(with_user_names("Loading " + in + " ...\nSaving " + out + " ...\n", "photo.jpg", "out.jpg"),
            "Loading photo.jpg ...\nSaving out.jpg ...\n");
  // A longer number is another file, left alone; so is text without paths.
  EXPECT_EQ(with_user_names(in + "0 and " + in, "a", "b"), in + "0 and a");
  EXPECT_EQ(with_user_names("Done!\n", "a", "b"), "Done!\n");
  // The private paths of a call that could not use the fixed numbers.
  EXPECT_EQ(with_user_names("Loading /proc/self/fd/7 /proc/self/fd/77", "a", "b", "/proc/self/fd/7",
                            "/proc/self/fd/77"),
            "Loading a b");
}

// Decoding alone is the benchmark's yardstick for what the BMP adds, so it
// has to decode to the last row: a JPEG missing only its last few hundred
// bytes fails there as it does on the way into the BMP, and a whole one
// passes both.
TEST(PrivateBmp, DecodingAloneReadsEveryRowLikeTheBmp) {
  test::start_vips();
  std::string why;
  ASSERT_TRUE(codec_ready(why)) << why;
  test::TempDir dir;
  const std::string whole = dir.path() + "/whole.jpg", cut = dir.path() + "/cut.jpg";
  ASSERT_TRUE(test::save(test::portrait_image(), whole + "[Q=90]"));
  const uintmax_t size = std::filesystem::file_size(whole);
  std::filesystem::copy_file(whole, cut);
  ASSERT_GT(size, 2000u);
  std::filesystem::resize_file(cut, size - 300);

  const auto decoded = [&](const std::string &path, bool into_bmp) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int bmp = memory_file();
    EXPECT_GE(fd, 0) << path;
    EXPECT_GE(bmp, 0);
    DecodedPhoto photo;
    ErrorKind kind = ErrorKind::none;
    double staging = 0;
    why.clear();
    bool ok = decode(fd, Limits{}, "jpg", photo, kind, why);
    EXPECT_TRUE(ok) << path << ": the header alone is sound: " << why;
    ok = ok && (into_bmp ? write_plugin_bmp(photo, bmp, staging, kind, why) : decode_only(photo, why));
    close(fd);
    close(bmp);
    return ok;
  };
  for (const bool into_bmp : {false, true}) {
    SCOPED_TRACE(into_bmp ? "into the BMP" : "alone");
    EXPECT_TRUE(decoded(whole, into_bmp)) << why;
    EXPECT_FALSE(decoded(cut, into_bmp));
    EXPECT_FALSE(why.empty());
  }
}

} // namespace
} // namespace tavrin::photo

// The photo path's own files: the plug-in's BMPs turned back where they
// lie (padding, odd heights, both row orders), staged outputs, and the
// plug-in's lines getting the user's names back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "bmp_header.h"
#include "photo/private_bmp.h"
#include "photo/private_names.h"
#include "photo/staging.h"
#include "temp_dir.h"

namespace tavrin::photo {
namespace {

std::vector<uint8_t> numbered(int32_t width, int32_t height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + i / 5);
  return rgb;
}

int memory_file() { return memfd_create("test", MFD_CLOEXEC); }

// Every width of the four paddings, even and odd heights.
TEST(PrivateBmp, WrittenThenTurnedBackInPlaceGivesTheRows) {
  for (int32_t width : {1, 2, 3, 4, 5, 7, 33}) {
    for (int32_t height : {1, 2, 3, 64, 65, 129}) {
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

      FileMapping mapping;
      RgbView view;
      ASSERT_TRUE(bmp24_to_rgb_in_place(fd.get(), mapping, view, why)) << why;
      ASSERT_EQ(view.width, width);
      ASSERT_EQ(view.height, height);
      EXPECT_EQ(std::vector<uint8_t>(view.data, view.data + view.size()), rgb);
    }
  }
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
  FileMapping mapping;
  RgbView view;
  std::string why;
  ASSERT_TRUE(bmp24_to_rgb_in_place(fd.get(), mapping, view, why)) << why;
  EXPECT_EQ(std::vector<uint8_t>(view.data, view.data + view.size()), rgb);

  // One byte short of the rows the header promises.
  jobs::UniqueFd short_fd(memory_file());
  ASSERT_EQ(write(short_fd.get(), file.data(), file.size() - 1), static_cast<ssize_t>(file.size() - 1));
  FileMapping m2;
  EXPECT_FALSE(bmp24_to_rgb_in_place(short_fd.get(), m2, view, why));
  // A 32-bit picture is not what a plug-in writes.
  file[28] = 32;
  jobs::UniqueFd other(memory_file());
  ASSERT_EQ(write(other.get(), file.data(), file.size()), static_cast<ssize_t>(file.size()));
  RgbPixels pixels;
  EXPECT_FALSE(read_bmp24(other.get(), pixels, why));
  jobs::UniqueFd empty(memory_file());
  EXPECT_FALSE(read_bmp24(empty.get(), pixels, why));
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

} // namespace
} // namespace tavrin::photo

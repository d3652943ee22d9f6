#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include "beard_canvas.h"
#include "beard_rendering.h"
#include "plugin_runner.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin::beard::test {
namespace {

using tavrin::test::RunResult;
using tavrin::test::TempDir;

RunResult run_beard(const std::string &in, const std::string &out) {
  return tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPFaceBeard"), "BMPBeard", in, out);
}
RunResult run_beard(const char16_t *in, const char16_t *out) {
  return tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPFaceBeard"), "BMPBeard", in, out);
}

std::vector<uint8_t> patched(std::vector<uint8_t> b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  return b;
}
std::vector<uint8_t> cut(std::vector<uint8_t> b, size_t n) {
  b.resize(n);
  return b;
}

// What the plug-in writes for a picture: bottom-up, image size 0.
std::vector<uint8_t> saved_form(const TestPicture &p) {
  std::vector<uint8_t> b = encode_bmp(p);
  return patched(b, 34, 0);
}

TEST(BeardExport, RefusedFilesGiveTheirMessageAndNoOutput) {
  const std::vector<uint8_t> good = encode_bmp(tavrin::test::make_picture(4, 10, kWall)); // stride 12
  tavrin::test::BmpOptions old_style{.bits = 32, .info_header_size = 12};
  const struct {
    std::vector<uint8_t> bytes;
    std::string message;
  } cases[] = {
      {{}, "not a BMP file"},
      {{'B'}, "not a BMP file"},
      {{'M', 'B'}, "not a BMP file"},
      {{'B', 'M'}, "only 24-bit BMP is supported (got 65535-bit)"},
      {cut(good, 29), "only 24-bit BMP is supported (got 65304-bit)"}, // inside the bit count
      {cut(good, 32), "compressed BMP is not supported"},              // inside the compression
      {encode_bmp(tavrin::test::make_picture(4, 4, kWall), old_style), "old-style DIB header not supported"},
      {encode_bmp(tavrin::test::make_picture(4, 4, kWall), {.bits = 32, .compression = 3}),
       "only 24-bit BMP is supported (got 32-bit)"},
      {patched(good, 30, 1), "compressed BMP is not supported"},
      {patched(good, 18, 65536), "implausible image dimensions 65536x10"},
      {patched(good, 18, 0), "implausible image dimensions 0x10"},
      {patched(good, 18, uint32_t(-4)), "implausible image dimensions -4x10"},
      {patched(good, 22, 0), "implausible image dimensions 4x0"},
      {patched(good, 22, uint32_t(-65536)), "implausible image dimensions 4x65536"},
      {patched(good, 22, uint32_t(INT_MIN)), "implausible image dimensions 4x-2147483648"},
      {patched(good, 10, 5000), "unexpected end of file at row 0"},
      {cut(good, 54 + 12 * 3 + 5), "unexpected end of file at row 3"},
      {patched(patched(good, 18, 65535), 22, 65535), "unexpected end of file at row 0"},
      {patched(patched(good, 18, 1), 22, 65535), "unexpected end of file at row 30"}, // stride 4
  };
  TempDir dir;
  for (const auto &c : cases) {
    tavrin::test::write_file(dir.file("in.bmp"), c.bytes);
    RunResult r = run_beard(dir.file("in.bmp"), dir.file("out.bmp"));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.file("in.bmp") + ": " + c.message + "\n");
    EXPECT_FALSE(tavrin::test::file_exists(dir.file("out.bmp"))) << c.message;
  }
}

TEST(BeardExport, HugeHeaderOnShortFileIsAnsweredFromTheFileLength) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
#endif
  // 40000 x 40000 pixels need 4.8 GB; with 1 GiB of address space the
  // answer must come from the file's length, not from a failed allocation.
  std::vector<uint8_t> bytes = encode_bmp(tavrin::test::make_picture(4, 4, kWall));
  bytes = patched(patched(bytes, 18, 40000), 22, 40000);
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), bytes);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = std::min<rlim_t>(saved.rlim_max, rlim_t{1} << 30);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
  RunResult r = run_beard(dir.file("in.bmp"), dir.file("out.bmp"));
  setrlimit(RLIMIT_AS, &saved);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir.file("in.bmp") + ": unexpected end of file at row 0\n");
}

// A picture whose saved file would pass 4 GiB (the header's 32-bit size
// field) is refused before its pixels are allocated: from a file of that
// length, and from a pipe, whose length cannot be told, of a 100-byte file.
TEST(BeardExport, PictureTooLargeForItsFileIsRefused) {
  if (!tavrin::test::address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  const tavrin::test::RunOptions capped{.address_space_limit = uint64_t{1} << 30};
  const std::vector<uint8_t> good = encode_bmp(tavrin::test::make_picture(4, 4, kWall));
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");

  // 65535 x 21846: 54 + 196608 * 21846 bytes, 130 KB past 4 GiB; one row
  // fewer fits, and is left to the memory it needs.
  for (auto [height, refused] : {std::pair{21846, true}, std::pair{21845, false}}) {
    tavrin::test::write_file(in, patched(patched(good, 18, 65535), 22, height));
    ASSERT_EQ(truncate(in.c_str(), static_cast<off_t>(54 + int64_t{196608} * height)), 0);
    RunResult r = tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPFaceBeard"), "BMPBeard",
                                           in, out, capped);
    ASSERT_TRUE(r.completed) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refused ? in + ": image too large for a BMP file (65535x" + std::to_string(height) + ")\n"
                             : "") << height;
    EXPECT_FALSE(tavrin::test::file_exists(out));
  }

  const std::string fifo = dir.file("pipe.bmp");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<uint8_t> bytes = cut(patched(patched(good, 18, 65535), 22, 65535), 100);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY); // waits for the reader
    if (fd >= 0 && write(fd, bytes.data(), bytes.size()) < 0) _exit(1);
    _exit(0);
  }
  RunResult r = tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPFaceBeard"), "BMPBeard",
                                         fifo, out, capped);
  kill(writer, SIGKILL); // in case the reader never came
  waitpid(writer, nullptr, 0);
  ASSERT_TRUE(r.completed) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, fifo + ": image too large for a BMP file (65535x65535)\n");
  EXPECT_FALSE(tavrin::test::file_exists(out));
}

// Memory that runs out in the face search is a failure, never "no face". The
// picture is the widest the beard reads, with a face: the search's two column
// counts (512 KB) are a sixth of the pixels. At every cap from "the pixels
// barely fit" up to "everything fits" the call either fails in the reader
// (silently), fails in the search with its line, or answers as uncapped.
TEST(BeardExport, NoMemoryForTheFaceSearchIsAFailure) {
  if (!tavrin::test::address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  const int32_t width = 65532, height = 16; // rows without padding
  const TestPicture p = tavrin::test::make_picture(width, height, [](int x, int y) {
    return x >= 20000 && x < 27000 && y >= 2 && y < 14 ? kSkin : kWall;
  });
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
  tavrin::test::write_file(in, encode_bmp(p));
  const RunResult uncapped = run_beard(in, out);
  ASSERT_EQ(uncapped.status, 999);
  ASSERT_EQ(uncapped.out, "  Image: 65532 x 16 pixels\n  Face region: x=20000  y=2  w=7000  h=12\n"
                          "  Beard applied.\nDone.\n");
  const std::vector<uint8_t> drawn = tavrin::test::read_file(out);

  const uint64_t pixels = uint64_t{width} * height * 3;
  int search_failures = 0;
  for (uint64_t room = pixels; room <= pixels + (uint64_t{4} << 20); room += 128 << 10) {
    std::filesystem::remove(out);
    const RunResult r = tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPFaceBeard"), "BMPBeard",
                                                 in, out, {.address_space_headroom = room});
    SCOPED_TRACE(testing::Message() << "headroom " << room);
    ASSERT_TRUE(r.completed) << r.err;
    if (r.status == 999) {
      EXPECT_EQ(r.out, uncapped.out);
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(tavrin::test::read_file(out) == drawn) << "output differs from the uncapped one";
      continue;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(tavrin::test::file_exists(out));
    if (r.out.empty()) {
      EXPECT_EQ(r.err, ""); // the reader's allocation failed
    } else {
      EXPECT_EQ(r.out, "  Image: 65532 x 16 pixels\n");
      EXPECT_EQ(r.err, "Error: not enough memory to search for a face.  No output written.\n");
      ++search_failures;
    }
  }
  EXPECT_GT(search_failures, 0) << "no cap fell between the reader and the search";
}

TEST(BeardExport, LargestDimensionsPass) {
  TempDir dir;
  for (auto [w, h] : {std::pair{65535, 1}, std::pair{1, 65535}}) {
    const TestPicture p = tavrin::test::make_picture(w, h, kWall);
    tavrin::test::write_file(dir.file("in.bmp"), encode_bmp(p));
    RunResult r = run_beard(dir.file("in.bmp"), dir.file("out.bmp"));
    EXPECT_EQ(r.status, 999);
    EXPECT_EQ(tavrin::test::read_file(dir.file("out.bmp")), saved_form(p));
  }
}

TEST(BeardExport, FaceIsReportedDrawnAndSaved) {
  const TestPicture p = tavrin::test::make_picture(120, 100, [](int x, int y) {
    return x >= 30 && x < 90 && y >= 20 && y < 80 ? kSkin : kWall;
  });
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), encode_bmp(p, {.info_header_size = 124}));
  RunResult r = run_beard(dir.file("in.bmp"), dir.file("out.bmp"));
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "  Image: 120 x 100 pixels\n  Face region: x=30  y=20  w=60  h=60\n"
                   "  Beard applied.\nDone.\n");
  EXPECT_EQ(r.err, "");
  Canvas expected(p);
  BmpImage image = expected.image();
  draw_beard(image, 30, 20, 60, 60);
  EXPECT_EQ(tavrin::test::read_file(dir.file("out.bmp")), saved_form(expected.picture()));
}

TEST(BeardExport, NoFaceSavesTheTopDownPictureUnchangedBottomUp) {
  const TestPicture p = tavrin::test::make_picture(
      33, 21, [](int x, int y) { return Rgb{uint8_t(x), uint8_t(y), 200}; });
  TempDir dir;
  tavrin::test::write_file(dir.file("in.bmp"), encode_bmp(p, {.top_down = true, .padding_byte = 7}));
  RunResult r = run_beard(dir.file("in.bmp"), dir.file("out.bmp"));
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "  Image: 33 x 21 pixels\nDone.\n");
  EXPECT_EQ(r.err, "Warning: no face detected.  Output will be written unmodified.\n");
  EXPECT_EQ(tavrin::test::read_file(dir.file("out.bmp")), saved_form(p));
}

TEST(BeardExport, PathsNullPointersAndFailedWrites) {
  TempDir dir;
  const std::string sub = dir.file("caf\xC3\xA9-\xE6\x97\xA5");
  ASSERT_TRUE(std::filesystem::create_directory(sub));
  const TestPicture p = tavrin::test::make_picture(8, 8, kWall);
  tavrin::test::write_file(sub + "/\xC3\xB1.bmp", encode_bmp(p));
  const std::string image_line = "  Image: 8 x 8 pixels\n";
  const std::string warning = "Warning: no face detected.  Output will be written unmodified.\n";

  RunResult r = run_beard(sub + "/\xC3\xB1.bmp", sub + "/\xF0\x9F\x98\x80.bmp");
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(tavrin::test::read_file(sub + "/\xF0\x9F\x98\x80.bmp"), saved_form(p));

  r = run_beard(sub + "/missing.bmp", dir.file("o.bmp"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, sub + "/missing.bmp: cannot open file\n");
  EXPECT_FALSE(tavrin::test::file_exists(dir.file("o.bmp")));

  const std::u16string out16 = u"/dev/null";
  r = run_beard(nullptr, out16.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "(null): cannot open file\n");

  const std::u16string in16 = tavrin::argument_to_utf16(sub + "/\xC3\xB1.bmp");
  for (const auto &[out, shown] : {std::pair<std::string, std::string>{"", "(null)"},
                                   {"/dev/full", "/dev/full"},
                                   {dir.file("no/such/dir.bmp"), dir.file("no/such/dir.bmp")}}) {
    const std::u16string o = tavrin::argument_to_utf16(out);
    r = run_beard(in16.c_str(), out.empty() ? nullptr : o.c_str());
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.out, image_line); // no "Done."
    EXPECT_EQ(r.err, warning + shown + ": cannot write file\n");
  }
}

} // namespace
} // namespace tavrin::beard::test

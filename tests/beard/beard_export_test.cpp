#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <sys/resource.h>

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

// The export as the host calls it: through the built library.
#include <gtest/gtest.h>

#include <thread>

#include "bmp_builder.h"
#include "mustache_pipeline.h"
#include "picture_helpers.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "plugin_runner.h"
#include "demo/portrait.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin::mustache {
namespace {

using tavrin::test::decode_bmp24;
using tavrin::test::encode_bmp;
using tavrin::test::file_exists;
using tavrin::test::make_picture;
using tavrin::test::read_file;
using tavrin::test::RunResult;
using tavrin::test::TempDir;
using tavrin::test::TestPicture;
using tavrin::test::write_file;

const std::string kLibrary = tavrin::test::plugin_library("TavrinBMPMustache");
constexpr const char *kSymbol = "BMPMustache";

RunResult run(const std::string &in, const std::string &out) {
  return tavrin::test::run_export(kLibrary, kSymbol, in, out);
}

// 200 x 200, a plain skin rectangle 100 wide: the face is found, the eyes
// fall on the first window pair, the mouth line on row 90.
TestPicture face_picture() {
  return make_picture(200, 200, [](int x, int y) {
    return x >= 50 && x < 150 && y >= 30 && y < 160 ? test::kSkin : test::kBackdrop;
  });
}

const std::string kFaceLog = "Image size: 200 x 200\n"
                             "Detecting face ...\n"
                             "  Skin blob top  : y=30  cx=99  w=100\n"
                             "  Eyes detected  : y=47  IOD=35\n"
                             "  Mouth placed   : y=90\n"
                             "Drawing mustache at cx=99 mouthY=90 faceW=100 ...\n";

// The output must be the input with only the 323 pixels of a faceW-100
// mustache around (99, 90) turned black.
void expect_face_mustache(const std::vector<uint8_t> &file) {
  ASSERT_EQ(file.size(), 54u + 600 * 200);
  TestPicture out;
  ASSERT_TRUE(decode_bmp24(file, out));
  const TestPicture in = face_picture();
  int changed = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) {
      if (out.at(x, y) == in.at(x, y)) continue;
      ++changed;
      EXPECT_EQ(out.at(x, y), test::kBlack);
      EXPECT_TRUE(x >= 69 && x <= 129 && y >= 85 && y <= 95) << x << "," << y;
    }
  EXPECT_EQ(changed, 323);
}

TEST(MustacheExport, DrawsUnderTheDetectedFaceAndReportsEachStep) {
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(face_picture()));
  RunResult r = run(dir.file("in.bmp"), dir.file("out.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, kFaceLog + "Done.\n");
  EXPECT_EQ(r.err, "");
  expect_face_mustache(read_file(dir.file("out.bmp")));
}

TEST(MustacheExport, WithoutAFaceDrawsAtTheFallbackPlace) {
  // 101 wide: cx and faceW are both 50; mouth row (33 * 70) / 100 = 23.
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(make_picture(101, 33, test::kWhite)));
  RunResult r = run(dir.file("in.bmp"), dir.file("out.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "Image size: 101 x 33\n"
                   "Detecting face ...\n"
                   "Drawing mustache at cx=50 mouthY=23 faceW=50 ...\n"
                   "Done.\n");
  EXPECT_EQ(r.err, "No face detected. Using centre-of-image fallback.\n");
  TestPicture out;
  ASSERT_TRUE(decode_bmp24(read_file(dir.file("out.bmp")), out));
  EXPECT_EQ(out.at(50, 23), test::kBlack);
  EXPECT_EQ(out.at(50, 10), test::kWhite);
}

TEST(MustacheExport, UnloadableInputWritesNothing) {
  TempDir dir;
  write_file(dir.file("text.bmp"), {'h', 'e', 'l', 'l', 'o'});
  struct Case {
    std::string input, err;
  };
  for (const Case &c : {Case{dir.file("missing.bmp"), "Cannot open: " + dir.file("missing.bmp") + "\n"},
                        Case{dir.file("text.bmp"), "Not a BMP file: " + dir.file("text.bmp") + "\n"}}) {
    RunResult r = run(c.input, dir.file("out.bmp"));
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(file_exists(dir.file("out.bmp")));
  }
}

TEST(MustacheExport, FailedWritesAreReportedAndNeverCalledDone) {
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(face_picture()));
  for (const std::string &out : {std::string("/dev/full"), dir.file("no-such-folder/out.bmp")}) {
    RunResult r = run(dir.file("in.bmp"), out);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kFaceLog);
    EXPECT_EQ(r.err, "Cannot write: " + out + "\n");
  }
}

TEST(MustacheExport, NullPathsFailLikeUnopenableOnes) {
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(face_picture()));
  const std::u16string in = argument_to_utf16(dir.file("in.bmp"));
  const std::u16string out = argument_to_utf16(dir.file("out.bmp"));

  RunResult r = tavrin::test::run_export(kLibrary, kSymbol, nullptr, out.c_str());
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Cannot open: (null)\n");

  r = tavrin::test::run_export(kLibrary, kSymbol, in.c_str(), nullptr);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kFaceLog);
  EXPECT_EQ(r.err, "Cannot write: (null)\n");
  EXPECT_FALSE(file_exists(dir.file("out.bmp")));
}

TEST(MustacheExport, PathsKeepEveryCharacter) {
  TempDir dir;
  const std::string in = dir.file("visage-\xC3\xA9t\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.bmp");
  const std::string out = dir.file("r\xC3\xA9sultat-\xF0\x9F\x98\x80.bmp");
  write_file(in, encode_bmp(face_picture()));
  RunResult r = run(in, out);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.err, "");
  expect_face_mustache(read_file(out));

  // A lone surrogate cannot be converted: the empty path fails to open.
  const char16_t broken[] = {u'a', 0xD800, u'.', u'b', 0};
  r = tavrin::test::run_export(kLibrary, kSymbol, broken, argument_to_utf16(out).c_str());
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open: \n");
}

// A path too long for the memory left fails the call with the out-of-memory
// line; std::bad_alloc never reaches the host. The input path is converted
// before loading, the output path after drawing.
TEST(MustacheExport, NoMemoryForAPathFailsTheCall) {
  if (!tavrin::test::address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(face_picture()));
  const std::u16string in = argument_to_utf16(dir.file("in.bmp"));
  const std::u16string out = argument_to_utf16(dir.file("out.bmp"));
  // 24 MB as UTF-8, with 12 MB to spare: enough for the detection, not the path.
  const std::u16string long_path(size_t{24} << 20, u'a');
  const tavrin::test::RunOptions capped{.address_space_headroom = uint64_t{12} << 20};

  RunResult r = tavrin::test::run_export(kLibrary, kSymbol, long_path.c_str(), out.c_str(), capped);
  ASSERT_TRUE(r.completed) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Out of memory.\n");
  EXPECT_FALSE(file_exists(dir.file("out.bmp")));

  r = tavrin::test::run_export(kLibrary, kSymbol, in.c_str(), long_path.c_str(), capped);
  ASSERT_TRUE(r.completed) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kFaceLog);
  EXPECT_EQ(r.err, "Out of memory.\n");
}

TEST(MustacheExport, OutputMayReplaceItsInput) {
  TempDir dir;
  write_file(dir.file("same.bmp"), encode_bmp(face_picture()));
  RunResult r = run(dir.file("same.bmp"), dir.file("same.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, kFaceLog + "Done.\n");
  expect_face_mustache(read_file(dir.file("same.bmp")));
}

TEST(MustacheExport, CallsOnTwoThreadsDoNotInterfere) {
  // Two pictures of the same size whose faces sit in different places, so
  // both calls are in the same stage at about the same time.
  TempDir dir;
  Picture portrait = make_portrait();
  ASSERT_TRUE(write_picture(dir.file("a.bmp").c_str(), portrait));
  Picture moved = portrait;
  const size_t row = static_cast<size_t>(portrait.width) * 3;
  for (int y = 0; y < portrait.height; ++y)
    for (size_t k = 0; k < row; ++k)
      moved.bgr[y * row + k] = portrait.bgr[((y + 40) % portrait.height) * row + (k + 3 * 37) % row];
  ASSERT_TRUE(write_picture(dir.file("b.bmp").c_str(), moved));

  LoadedPlugin plugin;
  std::string error;
  ASSERT_TRUE(plugin.load(kLibrary, kSymbol, error)) << error;
  const OverlayExport entry = plugin.entry();
  auto call = [&](const std::string &in, const std::string &out) {
    std::u16string in16 = argument_to_utf16(dir.file(in)), out16 = argument_to_utf16(dir.file(out));
    return entry(in16.c_str(), out16.c_str());
  };

  testing::internal::CaptureStdout();
  const bool alone = call("a.bmp", "a-alone.bmp") == 999 && call("b.bmp", "b-alone.bmp") == 999;
  constexpr int kRounds = 8;
  int32_t status[kRounds][2] = {};
  for (int round = 0; round < kRounds; ++round) {
    const std::string n = std::to_string(round);
    std::thread first([&] { status[round][0] = call("a.bmp", "a-" + n + ".bmp"); });
    std::thread second([&] { status[round][1] = call("b.bmp", "b-" + n + ".bmp"); });
    first.join();
    second.join();
  }
  testing::internal::GetCapturedStdout();

  ASSERT_TRUE(alone);
  const std::vector<uint8_t> a_alone = read_file(dir.file("a-alone.bmp"));
  const std::vector<uint8_t> b_alone = read_file(dir.file("b-alone.bmp"));
  EXPECT_NE(a_alone, b_alone);
  for (int round = 0; round < kRounds; ++round) {
    const std::string n = std::to_string(round);
    EXPECT_EQ(status[round][0], 999);
    EXPECT_EQ(status[round][1], 999);
    EXPECT_EQ(read_file(dir.file("a-" + n + ".bmp")), a_alone) << round;
    EXPECT_EQ(read_file(dir.file("b-" + n + ".bmp")), b_alone) << round;
  }
}

} // namespace
} // namespace tavrin::mustache

namespace tavrin::mustache {
namespace {

TEST(MustacheFallback, HalvesTheWidthAndTakesSeventyPercentOfTheHeight) {
  const MustacheAnchor odd = fallback_anchor(101, 100);
  EXPECT_EQ(odd.cx, 50);
  EXPECT_EQ(odd.face_w, 50);
  EXPECT_EQ(odd.mouth_y, 70);
  EXPECT_EQ(fallback_anchor(1, 3).mouth_y, 2); // 210 / 100, truncated
  // Past 30,678,337 rows height * 70 no longer fits 32 bits; the row must
  // still be the one 70 % down, never a wrapped negative one.
  EXPECT_EQ(fallback_anchor(1, 31000000).mouth_y, 21700000);
  EXPECT_EQ(fallback_anchor(1, INT32_MAX).mouth_y, 1503238552);
}

} // namespace
} // namespace tavrin::mustache

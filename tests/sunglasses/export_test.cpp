// The built plug-in, loaded and called the way the host calls it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/portrait.h"
#include "fixtures.h"
#include "plugin_runner.h"
#include "sunglasses_drawing.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin::sunglasses {
namespace {

using tavrin::test::RunResult;
using tavrin::test::TempDir;
using test::ImageBuffer;
using test::TestPicture;

RunResult run(const std::string &in, const std::string &out) {
  return tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPSunglasses"), "BMPSunglases",
                                  in, out);
}

RunResult run(const char16_t *in, const char16_t *out) {
  return tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPSunglasses"), "BMPSunglases",
                                  in, out);
}

uint64_t fnv1a(const std::vector<uint8_t> &bytes) {
  uint64_t h = 0xcbf29ce484222325u;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3u;
  return h;
}

std::string fixture_stdout(const std::string &in, const std::string &out) {
  return "Loading " + in + " ...\n"
         "Image: 96 x 112\n"
         "Detecting face region ...\n"
         "Face region: (8,30) 61x74\n"
         "Detecting eyes ...\n"
         "Left eye:  center=(33,45)\n"
         "Right eye: center=(64,48)\n"
         "Drawing sunglasses ...\n"
         "Saving " + out + " ...\n"
         "Done!\n";
}

// The fixture with the glasses drawn where the run above reports the eyes.
TestPicture fixture_with_glasses() {
  ImageBuffer buffer(test::make_face_picture());
  draw_sunglasses(buffer.image, EyeRecord{33, 45, 0, 0, 0}, EyeRecord{64, 48, 0, 0, 0},
                  FaceRect{8, 30, 61, 74});
  TestPicture p = tavrin::test::make_picture(96, 112, test::Rgb{0, 0, 0});
  for (int y = 0; y < 112; ++y)
    for (int x = 0; x < 96; ++x) p.at(x, y) = buffer.at(x, y);
  return p;
}

void expect_fixture_output(const std::string &path) {
  const std::vector<uint8_t> file = tavrin::test::read_file(path);
  TestPicture written;
  std::string why;
  ASSERT_TRUE(tavrin::test::decode_bmp24(file, written, &why)) << why;
  EXPECT_EQ(written, fixture_with_glasses());
  // Every byte, header included, as cross-checked when the fixture was made.
  EXPECT_EQ(file.size(), 32310u);
  EXPECT_EQ(fnv1a(file), 0x1213d5d386fef0f1u);
}

class Export : public testing::Test {
protected:
  std::string write_input(const std::string &name, const TestPicture &picture,
                          const tavrin::test::BmpOptions &options = {}) {
    const std::string path = dir.file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    tavrin::test::write_file(path, tavrin::test::encode_bmp(picture, options));
    return path;
  }
  TempDir dir;
};

TEST_F(Export, FaceWithEyesGetsSunglasses) {
  const std::string in = write_input("face.bmp", test::make_face_picture());
  const std::string out = dir.file("out.bmp");
  const RunResult r = run(in, out);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, fixture_stdout(in, out));
  EXPECT_EQ(r.err, "");
  expect_fixture_output(out);
}

TEST_F(Export, NoEyesStillWritesThePictureBottomUp) {
  // A 6x6 picture: the fallback face is 4 pixels wide, too narrow for a window.
  const TestPicture picture = tavrin::test::make_picture(6, 6, [](int x, int y) {
    return test::Rgb{static_cast<uint8_t>(40 * x), static_cast<uint8_t>(40 * y), 90};
  });
  const std::string in = write_input("small.bmp", picture, {.top_down = true, .info_header_size = 64});
  const std::string out = dir.file("out.bmp");
  const RunResult r = run(in, out);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "Loading " + in + " ...\nImage: 6 x 6\nDetecting face region ...\n"
                   "Face region: (1,0) 4x4\nDetecting eyes ...\nSaving " + out + " ...\nDone!\n");
  EXPECT_EQ(r.err, "Could not detect eyes. No sunglasses drawn.\n");
  const std::vector<uint8_t> file = tavrin::test::read_file(out);
  ASSERT_EQ(file.size(), 54u + 20u * 6u);
  EXPECT_EQ(tavrin::test::field32(file, 22), 6u);
  TestPicture written;
  ASSERT_TRUE(tavrin::test::decode_bmp24(file, written));
  EXPECT_EQ(written, picture);
}

TEST_F(Export, FailedLoadsWriteNothing) {
  const std::string missing = dir.file("missing.bmp"), out = dir.file("out.bmp");
  RunResult r = run(missing, out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Loading " + missing + " ...\n");
  EXPECT_EQ(r.err, "Cannot open " + missing + "\n");
  EXPECT_FALSE(tavrin::test::file_exists(out));

  const std::string wide = write_input("wide.bmp", test::make_face_picture(), {.bits = 32});
  r = run(wide, out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Loading " + wide + " ...\n");
  EXPECT_EQ(r.err, "Only uncompressed 24-bit BMP supported.\n");
  EXPECT_FALSE(tavrin::test::file_exists(out));

  std::vector<uint8_t> cut = tavrin::test::encode_bmp(test::make_face_picture());
  cut.resize(cut.size() - 300);
  tavrin::test::write_file(dir.file("cut.bmp"), cut);
  r = run(dir.file("cut.bmp"), out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Truncated BMP pixel data.\n");
  EXPECT_FALSE(tavrin::test::file_exists(out));
}

TEST_F(Export, WriteFailuresAreFailures) {
  const std::string in = write_input("face.bmp", test::make_face_picture());
  for (const std::string &out : {std::string("/dev/full"), dir.file("no-such-dir/out.bmp")}) {
    const RunResult r = run(in, out);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1);
    std::string expected = fixture_stdout(in, out);
    expected.resize(expected.size() - std::string("Done!\n").size());
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "Cannot write " + out + "\n");
  }
}

TEST_F(Export, NullPathsAreRefusedSilently) {
  const std::u16string path = argument_to_utf16(dir.file("x.bmp"));
  for (auto [in, out] : {std::pair<const char16_t *, const char16_t *>{nullptr, path.c_str()},
                         {path.c_str(), nullptr},
                         {nullptr, nullptr}}) {
    const RunResult r = run(in, out);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(tavrin::test::file_exists(dir.file("x.bmp")));
}

TEST_F(Export, NonAsciiAndLongPathsAreUsedWhole) {
  const std::vector<std::string> names = {
      "caf\xC3\xA9/visage \xC3\xA9.bmp",            // é
      "\xE6\x97\xA5\xE6\x9C\xAC/\xE9\xA1\x94.bmp",  // 日本/顔
      "\xF0\x9F\x98\x8E/\xF0\x9F\x98\x80.bmp",      // emoji, outside the 16-bit range
      std::string(120, 'a') + "/" + std::string(120, 'b') + ".bmp", // over 200 bytes
  };
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    const std::string in = write_input(name, test::make_face_picture());
    const std::string out = in + ".out.bmp";
    const RunResult r = run(in, out);
    EXPECT_EQ(r.status, 999);
    EXPECT_EQ(r.out, fixture_stdout(in, out));
    EXPECT_EQ(r.err, "");
    expect_fixture_output(out);
  }
}

TEST_F(Export, LoneSurrogateGivesAnEmptyPath) {
  const std::string in = write_input("face.bmp", test::make_face_picture());
  std::u16string broken = argument_to_utf16(dir.file("x"));
  broken += char16_t(0xD800);
  broken += u".bmp";
  const std::u16string good_in = argument_to_utf16(in);

  RunResult r = run(broken.c_str(), good_in.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Loading  ...\n");
  EXPECT_EQ(r.err, "Cannot open \n");

  r = run(good_in.c_str(), broken.c_str());
  EXPECT_EQ(r.status, 1);
  std::string expected = fixture_stdout(in, "");
  expected.resize(expected.size() - std::string("Done!\n").size());
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "Cannot write \n");
}

// The portrait in the top left corner of a 2048 x 1024 picture, the rest
// its backdrop: 6 MiB of pixels, whole huge pages, so the picture's buffer
// has no spare end and every byte of the search's memory is asked for.
Picture portrait_on_whole_huge_pages() {
  const Picture portrait = make_portrait();
  Picture p;
  p.width = 2048;
  p.height = 1024;
  p.bgr.resize(size_t{2048} * 1024 * 3);
  for (int32_t y = 0; y < p.height; ++y)
    for (int32_t x = 0; x < p.width; ++x) {
      const bool inside = x < portrait.width && y < portrait.height;
      const uint8_t *from = portrait.bgr.data() + (inside ? (static_cast<size_t>(y) * portrait.width + x) * 3 : 0);
      std::copy(from, from + 3, p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3);
    }
  return p;
}

// Memory that runs out in the eye search is a failure, never "no eyes": at
// every cap from none to "everything fits" the call either fails in the
// reader or in the search, each with its line, or answers as uncapped.
TEST_F(Export, NoMemoryForTheEyeSearchIsAFailure) {
  if (!tavrin::test::address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  const std::string in = dir.file("portrait.bmp"), out = dir.file("out.bmp");
  ASSERT_TRUE(write_picture(in.c_str(), portrait_on_whole_huge_pages()));
  const RunResult uncapped = run(in, out);
  ASSERT_EQ(uncapped.status, 999);
  ASSERT_NE(uncapped.out.find("Left eye:"), std::string::npos) << uncapped.out << uncapped.err;
  const std::vector<uint8_t> drawn = tavrin::test::read_file(out);

  const std::string before_eyes = uncapped.out.substr(0, uncapped.out.find("Left eye:"));
  // The caps go up in small steps, until a few in a row leave enough; the
  // picture and the search's tables each take whole 2 MiB huge pages, and
  // their alignment as much address space again.
  int search_failures = 0, successes = 0;
  for (uint64_t room = 0; room <= uint64_t{16} << 20 && successes < 4; room += 32 << 10) {
    std::filesystem::remove(out);
    const RunResult r = tavrin::test::run_export(tavrin::test::plugin_library("TavrinBMPSunglasses"),
                                                 "BMPSunglases", in, out, {.address_space_headroom = room});
    SCOPED_TRACE(testing::Message() << "headroom " << room);
    ASSERT_TRUE(r.completed) << r.err;
    if (r.status == 999) {
      ++successes;
      EXPECT_EQ(r.out, uncapped.out);
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(tavrin::test::read_file(out) == drawn) << "output differs from the uncapped one";
      continue;
    }
    successes = 0;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(tavrin::test::file_exists(out));
    if (r.err == "Not enough memory.\n") {
      EXPECT_EQ(r.out, before_eyes);
      ++search_failures;
    } else {
      EXPECT_EQ(r.out, "Loading " + in + " ...\n");
      EXPECT_EQ(r.err, "Not enough memory for a 2048 x 1024 image.\n");
    }
  }
  EXPECT_GT(search_failures, 0) << "no cap fell between the reader and the search";
}

TEST_F(Export, OutputMayReplaceTheInput) {
  const std::string path = write_input("face.bmp", test::make_face_picture());
  const RunResult r = run(path, path);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, fixture_stdout(path, path));
  expect_fixture_output(path);
}

} // namespace
} // namespace tavrin::sunglasses

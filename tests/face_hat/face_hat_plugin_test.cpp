// The real library, called the way the host calls it.
#include <gtest/gtest.h>

#include <filesystem>

#include "hat_pictures.h"
#include "plugin_runner.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

const char kNoFace[] = "No face detected \xE2\x80\x93 writing image unchanged.\n";

RunResult run_hat(const std::string &input, const std::string &output) {
  return run_export(plugin_library("TavrinBMPFaceHat"), "BMPFaceHat", input, output);
}

TestPicture skin_block() {
  return make_picture(100, 120, [](int x, int y) {
    return x >= 30 && x <= 69 && y >= 40 && y <= 99 ? kSkin : kBlueGrey;
  });
}

TestPicture decoded(const std::string &path) {
  TestPicture picture;
  std::string why;
  EXPECT_TRUE(decode_bmp24(read_file(path), picture, &why)) << why;
  return picture;
}

TEST(FaceHatPlugin, FaceGetsAHatAndThreeProgressLines) {
  TempDir dir;
  const TestPicture input = skin_block();
  write_file(dir.file("in.bmp"), encode_bmp(input));
  RunResult r = run_hat(dir.file("in.bmp"), dir.file("out.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "Loaded: " + dir.file("in.bmp") + "  (100 x 120)\n" +
                       "Face at (30,42)  size 40x50\n" + "Saved: " + dir.file("out.bmp") + "\n");
  EXPECT_EQ(r.err, "");
  const TestPicture output = decoded(dir.file("out.bmp"));
  EXPECT_EQ(output.at(40, 46), (Rgb{160, 15, 15})); // band
  EXPECT_EQ(output.at(40, 30), (Rgb{20, 20, 20}));  // crown
  EXPECT_EQ(output.at(30, 49), (Rgb{55, 55, 55}));  // brim outline
  EXPECT_EQ(output.at(50, 60), kSkin);              // face below the brim
  EXPECT_EQ(output.at(35, 30), kBlueGrey);          // beside the crown
  int changed = 0;
  for (size_t i = 0; i < input.pixels.size(); ++i) changed += input.pixels[i] != output.pixels[i];
  EXPECT_EQ(changed, 28 * 25 + 40 * 5); // crown and brim, nothing else
}

TEST(FaceHatPlugin, PictureWithoutFaceIsSavedUnchanged) {
  TempDir dir;
  // 32 bits, top first: the output is still bottom-up 24-bit.
  const TestPicture input = make_picture(61, 33, [](int x, int y) {
    return Rgb{static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 7), 200};
  });
  BmpOptions options;
  options.bits = 32;
  options.top_down = true;
  write_file(dir.file("in.bmp"), encode_bmp(input, options));
  RunResult r = run_hat(dir.file("in.bmp"), dir.file("out.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "Loaded: " + dir.file("in.bmp") + "  (61 x 33)\nSaved: " +
                       dir.file("out.bmp") + "\n");
  EXPECT_EQ(r.err, kNoFace);
  const std::vector<uint8_t> file = read_file(dir.file("out.bmp"));
  ASSERT_GE(file.size(), 54u);
  EXPECT_EQ(field16(file, 28), 24);
  EXPECT_EQ(field32(file, 22), 33u);
  EXPECT_EQ(decoded(dir.file("out.bmp")), input);
}

struct Refusal {
  const char *name;
  std::vector<uint8_t> file;
  std::string message; // empty for the silent refusals
};

std::vector<uint8_t> with_field32(std::vector<uint8_t> file, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
  return file;
}

TEST(FaceHatPlugin, UnreadableInputsFailWithTheirOwnMessageOrNone) {
  const std::vector<uint8_t> good = encode_bmp(make_picture(9, 6, kSkin));
  std::vector<uint8_t> not_bmp = good;
  not_bmp[0] = 'P';
  BmpOptions eight_bit;
  eight_bit.bits = 8;
  BmpOptions bit_fields; // compression is checked before the bit count
  bit_fields.bits = 32;
  bit_fields.compression = 3;
  BmpOptions rle16;
  rle16.bits = 16;
  rle16.compression = 1;
  std::vector<uint8_t> huge = with_field32(with_field32(good, 18, 65535), 22, 65535);
  huge.resize(100);
  const std::vector<Refusal> cases = {
      {"not a bitmap", not_bmp, "Not a BMP file.\n"},
      {"8 bits", encode_bmp(make_picture(9, 6, kSkin), eight_bit),
       "Only 24-bpp and 32-bpp BMP supported (got 8).\n"},
      {"bit fields", encode_bmp(make_picture(9, 6, kSkin), bit_fields),
       "Compressed BMP not supported.\n"},
      {"16-bit RLE", encode_bmp(make_picture(9, 6, kSkin), rle16),
       "Compressed BMP not supported.\n"},
      {"file header cut", std::vector<uint8_t>(good.begin(), good.begin() + 10), ""},
      {"info header cut", std::vector<uint8_t>(good.begin(), good.begin() + 40), ""},
      {"last row cut", std::vector<uint8_t>(good.begin(), good.end() - 1), ""},
      {"width 0", with_field32(good, 18, 0), ""},
      {"height 0", with_field32(good, 22, 0), ""},
      {"height INT_MIN", with_field32(good, 22, 0x80000000u), ""},
      {"65535 x 65535 in 100 bytes", huge, ""},
  };
  TempDir dir;
  for (const Refusal &c : cases) {
    write_file(dir.file("in.bmp"), c.file);
    RunResult r = run_hat(dir.file("in.bmp"), dir.file("out.bmp"));
    ASSERT_TRUE(r.completed) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, c.message) << c.name;
    EXPECT_FALSE(file_exists(dir.file("out.bmp"))) << c.name;
  }
}

// Memory that runs out in the window search is a failure, never "no face".
// The search's table (a tenth of a byte per pixel) must outgrow the reader's
// chunk of rows (256 KiB) for some cap to fall between the two, hence the
// size of the picture. At every cap from none to "everything fits" the call
// either fails in the reader, fails after the "Loaded" line, or answers as
// uncapped; all failures are silent.
TEST(FaceHatPlugin, NoMemoryForTheWindowSearchIsASilentFailure) {
  if (!address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
  write_file(in, encode_bmp(make_picture(1600, 1600, [](int x, int y) {
               return x >= 500 && x < 1000 && y >= 400 && y < 1100 ? kSkin : kBlueGrey;
             })));
  const RunResult uncapped = run_hat(in, out);
  ASSERT_EQ(uncapped.status, 999);
  ASSERT_NE(uncapped.out.find("Face at ("), std::string::npos) << uncapped.out;
  const std::vector<uint8_t> drawn = read_file(out);

  const std::string loaded = "Loaded: " + in + "  (1600 x 1600)\n";
  int search_failures = 0;
  for (uint64_t room = 0; room <= uint64_t{13} << 20; room += 256 << 10) {
    std::filesystem::remove(out);
    const RunResult r = run_export(plugin_library("TavrinBMPFaceHat"), "BMPFaceHat", in, out,
                                   {.address_space_headroom = room});
    SCOPED_TRACE(testing::Message() << "headroom " << room);
    ASSERT_TRUE(r.completed) << r.err;
    if (r.status == 999) {
      EXPECT_EQ(r.out, uncapped.out);
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(read_file(out) == drawn) << "output differs from the uncapped one";
      continue;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(out));
    if (!r.out.empty()) {
      EXPECT_EQ(r.out, loaded);
      ++search_failures;
    }
  }
  EXPECT_GT(search_failures, 0) << "no cap fell between the reader and the search";
}

TEST(FaceHatPlugin, MissingInputIsNamed) {
  TempDir dir;
  RunResult r = run_hat(dir.file("none.bmp"), dir.file("out.bmp"));
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Cannot open: " + dir.file("none.bmp") + "\n");
  EXPECT_FALSE(file_exists(dir.file("out.bmp")));
}

TEST(FaceHatPlugin, UnwritableOutputIsAFailureWithoutSavedLine) {
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(skin_block()));
  const std::string loaded = "Loaded: " + dir.file("in.bmp") + "  (100 x 120)\n";
  for (const std::string &out : {std::string("/dev/full"), dir.file("no/such/dir/out.bmp")}) {
    RunResult r = run_hat(dir.file("in.bmp"), out);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1) << out;
    EXPECT_EQ(r.out, loaded + "Face at (30,42)  size 40x50\n") << out;
    EXPECT_EQ(r.err, "Cannot write: " + out + "\n");
  }
}

TEST(FaceHatPlugin, NullPathsFailAtOnceWithoutOutput) {
  TempDir dir;
  write_file(dir.file("in.bmp"), encode_bmp(skin_block()));
  const std::string in8 = dir.file("in.bmp"), out8 = dir.file("out.bmp");
  const std::u16string in(in8.begin(), in8.end()), out(out8.begin(), out8.end());
  for (auto [input, output] : {std::pair{in.c_str(), static_cast<const char16_t *>(nullptr)},
                               std::pair{static_cast<const char16_t *>(nullptr), out.c_str()},
                               std::pair{static_cast<const char16_t *>(nullptr),
                                         static_cast<const char16_t *>(nullptr)}}) {
    RunResult r = run_export(plugin_library("TavrinBMPFaceHat"), "BMPFaceHat", input, output);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(file_exists(dir.file("out.bmp")));
}

TEST(FaceHatPlugin, NonAsciiAndVeryLongPathsArePassedWhole) {
  TempDir dir;
  const std::string in = dir.file("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80.bmp");
  std::string deep = dir.path();
  for (int i = 0; i < 4; ++i) deep += "/" + std::string(150, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const std::string out = deep + "/r\xC3\xA9sultat.bmp"; // well over 511 bytes
  write_file(in, encode_bmp(make_picture(12, 10, kBlueGrey)));
  RunResult r = run_hat(in, out);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.status, 999);
  EXPECT_EQ(r.out, "Loaded: " + in + "  (12 x 10)\nSaved: " + out + "\n");
  EXPECT_EQ(r.err, kNoFace);
  EXPECT_EQ(decoded(out), make_picture(12, 10, kBlueGrey));
}

TEST(FaceHatPlugin, TinyPicturesAreHandled) {
  TempDir dir;
  struct Tiny {
    int w, h;
    std::string face; // empty: none
  };
  for (const Tiny &t : {Tiny{1, 1, ""}, Tiny{2, 2, "Face at (0,0)  size 2x2\n"},
                        Tiny{3, 3, "Face at (0,0)  size 2x2\n"}, Tiny{2, 40, ""},
                        Tiny{3, 1, ""}}) {
    write_file(dir.file("in.bmp"), encode_bmp(make_picture(t.w, t.h, kSkin)));
    RunResult r = run_hat(dir.file("in.bmp"), dir.file("out.bmp"));
    ASSERT_TRUE(r.completed) << t.w << "x" << t.h;
    EXPECT_EQ(r.status, 999);
    EXPECT_EQ(r.out, "Loaded: " + dir.file("in.bmp") + "  (" + std::to_string(t.w) + " x " +
                         std::to_string(t.h) + ")\n" + t.face + "Saved: " + dir.file("out.bmp") +
                         "\n");
    EXPECT_EQ(r.err, t.face.empty() ? kNoFace : "");
  }
}

} // namespace
} // namespace tavrin::test

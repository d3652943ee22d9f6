// What the photo path reads and writes: the plug-in's pixels kept exactly
// through lossless formats, every format in and out, EXIF orientation,
// alpha, metadata, and the command line's own checks.
#include "photo_fixture.h"

#include <cstdlib>
#include <filesystem>

namespace tavrin::test {
namespace {

const char *const kEffects[] = {"sunglasses", "mustache", "hat", "beard"};

TEST_F(PhotoCommand, BmpInBmpOutIsThePluginsOwnFile) {
  write_file(path("in.bmp"), encode_bmp(portrait_pixels()));
  for (const char *effect : kEffects) {
    SCOPED_TRACE(effect);
    const ProgramResult r = tavrin({effect, path("in.bmp"), path("out.bmp")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(found_face(effect, r)) << r.out;
    const PluginInfo &plugin = *find_plugin(effect);
    run_export(plugin_library(plugin.library), plugin.symbol, path("in.bmp"), logs.file("direct.bmp"));
    EXPECT_EQ(read_file(path("out.bmp")), read_file(logs.file("direct.bmp")));
  }
  EXPECT_EQ(listing(), (std::set<std::string>{"in.bmp", "out.bmp"}));
}

TEST_F(PhotoCommand, LosslessOutputsHoldThePluginsPixels) {
  const TestPicture portrait = portrait_pixels();
  ASSERT_TRUE(save(portrait_image(), path("in.png")));
  for (const char *effect : kEffects) {
    SCOPED_TRACE(effect);
    const TestPicture expected = direct_call(effect, portrait);
    const ProgramResult r = tavrin({effect, path("in.png"), path("out.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(rgb_pixels(load(path("out.png"))) == expected);
    // A PNG to a BMP goes through the same private bitmap.
    ASSERT_EQ(tavrin({effect, path("in.png"), path("out.bmp")}).status, 0);
    TestPicture bmp;
    EXPECT_TRUE(decode_bmp24(read_file(path("out.bmp")), bmp));
    EXPECT_TRUE(bmp == expected);
  }
}

// libvips starts without its modules: only a HEIC or AVIF picture, in or
// out, brings the HEIF one, and ImageMagick's never comes. The dynamic
// loader's own trace of every process tells which files were loaded.
TEST_F(PhotoCommand, OnlyHeifPicturesLoadTheHeifModule) {
  // This process's libvips has set VIPSHOME to its own home; a user's
  // VIPSHOME is left alone, so the program must not see it here.
  const char *home = std::getenv("VIPSHOME");
  const bool had_home = home != nullptr;
  const std::string saved_home = had_home ? home : "";
  unsetenv("VIPSHOME");
  ASSERT_TRUE(save(portrait_image(), path("in.jpg")));
  int run = 0;
  const auto loaded_files = [&](const std::vector<std::string> &args) {
    const std::string prefix = "ld-trace-" + std::to_string(run++);
    setenv("LD_DEBUG", "files", 1);
    setenv("LD_DEBUG_OUTPUT", logs.file(prefix).c_str(), 1);
    const ProgramResult r = tavrin(args);
    unsetenv("LD_DEBUG");
    unsetenv("LD_DEBUG_OUTPUT");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string trace;
    for (const auto &e : std::filesystem::directory_iterator(logs.path()))
      if (e.path().filename().string().rfind(prefix + ".", 0) == 0) {
        const std::vector<uint8_t> bytes = read_file(e.path().string());
        trace.append(bytes.begin(), bytes.end());
      }
    return trace;
  };
  const std::string jpeg = loaded_files({"sunglasses", path("in.jpg"), path("out.jpg")});
  ASSERT_NE(jpeg.find("libvips.so"), std::string::npos) << "no trace of the loader";
  EXPECT_EQ(jpeg.find("vips-modules"), std::string::npos);
  const std::string heic = loaded_files({"sunglasses", path("in.jpg"), path("out.heic")});
  EXPECT_NE(heic.find("vips-heif.so"), std::string::npos);
  EXPECT_EQ(heic.find("vips-magick.so"), std::string::npos);
  const std::string from_heic = loaded_files({"hat", path("out.heic"), path("out.png")});
  EXPECT_NE(from_heic.find("vips-heif.so"), std::string::npos);
  EXPECT_EQ(from_heic.find("vips-jxl.so"), std::string::npos);
  if (had_home) setenv("VIPSHOME", saved_home.c_str(), 1);
}

TEST_F(PhotoCommand, ReadsByContentWritesByExtension) {
  // A JPEG under a PNG's name, written to an upper-case .JPG.
  ASSERT_TRUE(save(portrait_image(), path("in.jpg[Q=95]")));
  std::filesystem::rename(path("in.jpg"), path("in.png"));
  ProgramResult r = tavrin({"sunglasses", path("in.png"), path("OUT.JPG")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
  EXPECT_EQ(loader_of(path("OUT.JPG")), "jpegload");

  const std::pair<const char *, const char *> outputs[] = {
      {"png", "pngload"}, {"webp", "webpload"}, {"heic", "heifload"}, {"avif", "heifload"}, {"tif", "tiffload"}};
  for (const auto &[ext, loader] : outputs) {
    SCOPED_TRACE(ext);
    const std::string out = path(std::string("out.") + ext);
    ASSERT_EQ(tavrin({"sunglasses", path("in.png"), out}).status, 0);
    EXPECT_EQ(loader_of(out), loader);
    const Image image = load(out);
    ASSERT_TRUE(image);
    EXPECT_EQ(image.width(), 480);
    EXPECT_EQ(image.height(), 600);
  }
  // --format wins over a name with no extension, or with another one.
  ASSERT_EQ(tavrin({"sunglasses", "--format", "png", path("in.png"), path("result")}).status, 0);
  EXPECT_EQ(loader_of(path("result")), "pngload");
  ASSERT_EQ(tavrin({"sunglasses", "--format", "webp", path("in.png"), path("result.jpg")}).status, 0);
  EXPECT_EQ(loader_of(path("result.jpg")), "webpload");
}

TEST_F(PhotoCommand, EveryInputFormatReachesThePlugin) {
  const Image portrait = portrait_image();
  for (const char *input : {"in.webp[lossless]", "in.heic[Q=95]", "in.avif[Q=95]", "in.tif", "in.jpg[Q=95]"}) {
    SCOPED_TRACE(input);
    const std::string name = std::string(input).substr(0, std::string(input).find('['));
    ASSERT_TRUE(save(portrait, path(input)));
    const ProgramResult r = tavrin({"sunglasses", path(name), path("out.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
    EXPECT_EQ(load(path("out.png")).width(), 480);
  }
}

TEST_F(PhotoCommand, QualityChangesTheJpeg) {
  ASSERT_TRUE(save(portrait_image(), path("in.png")));
  ASSERT_EQ(tavrin({"sunglasses", "--quality", "20", path("in.png"), path("low.jpg")}).status, 0);
  ASSERT_EQ(tavrin({"sunglasses", "--quality", "98", path("in.png"), path("high.jpg")}).status, 0);
  EXPECT_LT(read_file(path("low.jpg")).size() * 2, read_file(path("high.jpg")).size());
}

// The stored pixels of a picture tagged `orientation`, made from the upright
// ones with the inverse of the turn the tag asks for.
Image stored_for(int orientation, const Image &upright) {
  VipsImage *turned = nullptr, *out = nullptr;
  switch (orientation) {
  case 2: vips_flip(upright.get(), &out, VIPS_DIRECTION_HORIZONTAL, nullptr); break;
  case 3: vips_rot(upright.get(), &out, VIPS_ANGLE_D180, nullptr); break;
  case 4: vips_flip(upright.get(), &out, VIPS_DIRECTION_VERTICAL, nullptr); break;
  case 6: vips_rot(upright.get(), &out, VIPS_ANGLE_D270, nullptr); break;
  case 8: vips_rot(upright.get(), &out, VIPS_ANGLE_D90, nullptr); break;
  case 5:
  case 7: // transpose and transverse
    vips_rot(upright.get(), &turned, VIPS_ANGLE_D90, nullptr);
    vips_flip(turned, &out, orientation == 5 ? VIPS_DIRECTION_HORIZONTAL : VIPS_DIRECTION_VERTICAL, nullptr);
    g_object_unref(turned);
    break;
  default: vips_copy(upright.get(), &out, nullptr);
  }
  vips_image_set_int(out, "orientation", orientation);
  return Image(out);
}

// Mean colour of a 32 x 32 corner square: 0 top left, 1 top right, 2 bottom left, 3 bottom right.
Rgb corner(const TestPicture &p, int which) {
  const int x0 = which % 2 ? p.width - 32 : 0, y0 = which / 2 ? p.height - 32 : 0;
  int r = 0, g = 0, b = 0;
  for (int y = y0; y < y0 + 32; ++y)
    for (int x = x0; x < x0 + 32; ++x) r += p.at(x, y).r, g += p.at(x, y).g, b += p.at(x, y).b;
  return {uint8_t(r / 1024), uint8_t(g / 1024), uint8_t(b / 1024)};
}

TEST_F(PhotoCommand, OrientationTagIsAppliedThenDropped) {
  // The portrait is mirror-symmetric, so a green corner tells a wrong flip.
  TestPicture marked = portrait_pixels();
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) marked.at(x, y) = {0, 255, 0};
  const Image upright = rgb_image(marked);
  ASSERT_TRUE(save(upright, path("upright.jpg[Q=95]")));
  ASSERT_EQ(tavrin({"sunglasses", path("upright.jpg"), path("upright-out.png")}).status, 0);
  const TestPicture reference = rgb_pixels(load(path("upright-out.png")));

  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    const Image stored = stored_for(orientation, upright);
    VipsImage *turned = nullptr;
    ASSERT_EQ(vips_autorot(stored.get(), &turned, nullptr), 0);
    ASSERT_TRUE(rgb_pixels(Image(turned)) == marked) << "the test's own transform is wrong";
    ASSERT_TRUE(save(stored, path("tagged.jpg[Q=95]")));

    for (const char *out : {"out.jpg", "out.png"}) {
      SCOPED_TRACE(out);
      const ProgramResult r = tavrin({"sunglasses", path("tagged.jpg"), path(out)});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
      const Image written = load(path(out));
      ASSERT_TRUE(written);
      int tag = 1;
      if (vips_image_get_typeof(written.get(), "orientation") != 0)
        vips_image_get_int(written.get(), "orientation", &tag);
      EXPECT_EQ(tag, 1);
      const TestPicture pixels = rgb_pixels(written);
      ASSERT_EQ(pixels.width, 480);
      ASSERT_EQ(pixels.height, 600);
      EXPECT_GT(corner(pixels, 0).g, 200);
      for (int c = 1; c < 4; ++c) EXPECT_LT(corner(pixels, c).g, 150) << "corner " << c;
      EXPECT_LT(mean_difference(pixels, reference), 4.0);
    }
  }
}

TEST_F(PhotoCommand, AlphaComesBackIntoPngButNotJpeg) {
  const Image rgb = portrait_image();
  std::string alpha(480 * 600, '\xff');
  for (int y = 500; y < 600; ++y)
    for (int x = 0; x < 480; ++x) alpha[y * 480 + x] = static_cast<char>((x * 7 + y) & 255);
  Image band(vips_image_new_from_memory_copy(alpha.data(), alpha.size(), 480, 600, 1, VIPS_FORMAT_UCHAR));
  VipsImage *joined = nullptr;
  ASSERT_EQ(vips_bandjoin2(rgb.get(), band.get(), &joined, nullptr), 0);
  ASSERT_TRUE(save(Image(joined), path("in.png")));

  ProgramResult r = tavrin({"sunglasses", path("in.png"), path("out.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
  const Image png = load(path("out.png"));
  ASSERT_EQ(png.bands(), 4);
  EXPECT_TRUE(band_bytes(png, 3) == alpha);

  ASSERT_EQ(tavrin({"sunglasses", path("in.png"), path("out.jpg")}).status, 0);
  EXPECT_EQ(load(path("out.jpg")).bands(), 3);
}

// EXIF with one text field, to see it is the input's block that came through.
std::string exif_with_artist(const std::string &artist) {
  std::string b("Exif\0\0II*\0\x08\0\0\0", 14);
  auto u16 = [&b](unsigned v) { b += char(v & 255), b += char(v >> 8); };
  auto u32 = [&](unsigned v) { u16(v & 0xffff), u16(v >> 16); };
  u16(2);
  u16(0x0112), u16(3), u32(1), u32(1);                                   // orientation 1
  u16(0x013b), u16(2), u32(unsigned(artist.size() + 1)), u32(8 + 2 + 24 + 4); // artist, after the IFD
  u32(0);
  return b + artist + '\0';
}

TEST_F(PhotoCommand, MetadataIsKeptUnlessStripped) {
  Image tagged = copy_of(portrait_image());
  VipsBlob *icc = nullptr;
  ASSERT_EQ(vips_profile_load("srgb", &icc, nullptr), 0) << vips_failure();
  size_t icc_size = 0;
  const void *icc_data = vips_blob_get(icc, &icc_size);
  const std::string profile(static_cast<const char *>(icc_data), icc_size);
  vips_area_unref(VIPS_AREA(icc));
  const std::string exif = exif_with_artist("tavrin-test-artist");
  const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><tavrin-test-xmp/></x:xmpmeta>";
  vips_image_set_blob_copy(tagged.get(), "icc-profile-data", profile.data(), profile.size());
  vips_image_set_blob_copy(tagged.get(), "exif-data", exif.data(), exif.size());
  vips_image_set_blob_copy(tagged.get(), "xmp-data", xmp.data(), xmp.size());
  ASSERT_TRUE(save(tagged, path("in.jpg[Q=95]")));
  ASSERT_NE(blob(load(path("in.jpg")), "exif-data").find("tavrin-test-artist"), std::string::npos);

  ASSERT_EQ(tavrin({"sunglasses", path("in.jpg"), path("kept.jpg")}).status, 0);
  const Image kept = load(path("kept.jpg"));
  EXPECT_EQ(blob(kept, "icc-profile-data"), profile);
  EXPECT_NE(blob(kept, "exif-data").find("tavrin-test-artist"), std::string::npos);
  EXPECT_NE(blob(kept, "xmp-data").find("tavrin-test-xmp"), std::string::npos);

  ASSERT_EQ(tavrin({"sunglasses", "--strip", path("in.jpg"), path("stripped.jpg")}).status, 0);
  const Image stripped = load(path("stripped.jpg"));
  for (const char *name : {"icc-profile-data", "exif-data", "xmp-data"}) {
    bool present = true;
    blob(stripped, name, &present);
    EXPECT_FALSE(present) << name;
  }
}

TEST_F(PhotoCommand, WrongCommandLinesExitTwoAndWriteNothing) {
  ASSERT_TRUE(save(portrait_image(), path("in.png")));
  const std::set<std::string> before = listing();
  const std::vector<std::vector<std::string>> wrong = {
      {"sunglasses", "--quality", "0", path("in.png"), path("out.jpg")},
      {"sunglasses", "--quality", "101", path("in.png"), path("out.jpg")},
      {"sunglasses", "--format", "gif", path("in.png"), path("out.gif")},
      {"sunglasses", "--max-megapixels", "-1", path("in.png"), path("out.jpg")},
      {"sunglasses", path("in.png")},
      {"moustache", path("in.png"), path("out.jpg")},
      {"--plugin-dir", logs.path(), "sunglasses", path("in.png"), path("out.jpg")},
  };
  for (const std::vector<std::string> &args : wrong) {
    std::string words;
    for (const std::string &a : args) words += a + " ";
    SCOPED_TRACE(words);
    const ProgramResult r = tavrin(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(r.err.starts_with("tavrin: ")) << r.err;
    EXPECT_EQ(listing(), before);
  }
}

} // namespace
} // namespace tavrin::test

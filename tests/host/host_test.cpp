#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "narrow_path.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "demo/portrait.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin {
namespace {

TEST(Paths, Utf16RoundTripsThroughNarrowForm) {
  for (const std::string &text : std::vector<std::string>{"plain.bmp", "caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.bmp",
                                 "smile-\xF0\x9F\x98\x80.bmp", std::string(5000, 'a')}) {
    std::u16string wide = argument_to_utf16(text);
    EXPECT_EQ(narrow_path(wide.c_str()), text);
  }
  EXPECT_EQ(argument_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(Paths, LoneSurrogateGivesEmptyPath) {
  const char16_t high_alone[] = {u'a', 0xD83D, u'b', 0};
  const char16_t low_alone[] = {u'a', 0xDE00, 0};
  const char16_t high_at_end[] = {u'a', 0xD83D, 0};
  EXPECT_EQ(narrow_path(high_alone), "");
  EXPECT_EQ(narrow_path(low_alone), "");
  EXPECT_EQ(narrow_path(high_at_end), "");
}

TEST(Paths, InvalidUtf8ArgumentBytesBecomeReplacementCharacters) {
  EXPECT_EQ(argument_to_utf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(argument_to_utf16("\xC3"), u"\uFFFD");          // cut short
  EXPECT_EQ(argument_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong
  EXPECT_EQ(argument_to_utf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // encoded surrogate
}

TEST(Plugins, EveryCommandNamesItsLibraryAndExport) {
  EXPECT_STREQ(find_plugin("sunglasses")->symbol, "BMPSunglases");
  EXPECT_STREQ(find_plugin("mustache")->library, "TavrinBMPMustache");
  EXPECT_STREQ(find_plugin("hat")->symbol, "BMPFaceHat");
  EXPECT_STREQ(find_plugin("beard")->library, "TavrinBMPFaceBeard");
  EXPECT_EQ(find_plugin("demo"), nullptr);
}

TEST(Plugins, FaceLineIsFoundIndentedAsThePluginsPrintIt) {
  EXPECT_TRUE(reports_face(*find_plugin("beard"), "  Image: 480 x 600 pixels\n  Face region: x=126  y=175\n"));
  EXPECT_TRUE(reports_face(*find_plugin("mustache"), "Detecting face ...\n  Skin blob top  : y=175\n"));
  EXPECT_TRUE(reports_face(*find_plugin("hat"), "Loaded: a.bmp  (8 x 8)\nFace at (1,2)  size 3x4"));
  EXPECT_FALSE(reports_face(*find_plugin("hat"), "Loaded: Face at (.bmp  (8 x 8)\nNo face found\n"));
  EXPECT_FALSE(reports_face(*find_plugin("beard"), ""));
}

TEST(Plugins, MissingLibraryIsReportedNotFatal) {
  LoadedPlugin plugin;
  std::string error;
  EXPECT_FALSE(plugin.load("/nonexistent/TavrinNothing.so", "BMPNothing", error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(plugin.entry(), nullptr);
}

TEST(Portrait, IsDeterministicAndWritesAWellFormedBitmap) {
  Picture a = make_portrait(), b = make_portrait();
  EXPECT_EQ(a.bgr, b.bgr);
  test::TempDir dir;
  ASSERT_TRUE(write_picture(dir.file("p.bmp").c_str(), a));
  test::TestPicture decoded;
  std::string why;
  ASSERT_TRUE(test::decode_bmp24(test::read_file(dir.file("p.bmp")), decoded, &why)) << why;
  ASSERT_EQ(decoded.width, a.width);
  ASSERT_EQ(decoded.height, a.height);
  const uint8_t *px = a.bgr.data() + (static_cast<size_t>(300) * a.width + 240) * 3;
  EXPECT_EQ(decoded.at(240, 300), (test::Rgb{px[2], px[1], px[0]}));
  EXPECT_FALSE(write_picture("/nonexistent-dir/p.bmp", a));
  EXPECT_FALSE(write_picture("/dev/full", a));
}

int run_host(const std::string &args) {
  int rc = std::system((std::string(TAVRIN_HOST_PROGRAM) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(HostProgram, ExitCodes) {
  EXPECT_EQ(run_host("--help"), 0);
  EXPECT_EQ(run_host("--version"), 0);
  EXPECT_EQ(run_host(""), 2);
  EXPECT_EQ(run_host("--bogus"), 2);
  EXPECT_EQ(run_host("frobnicate a b"), 2);
  EXPECT_EQ(run_host("hat only-one.bmp"), 2);
  EXPECT_EQ(run_host("--plugin-dir /nonexistent sunglasses a.bmp b.bmp"), 2);
}

} // namespace
} // namespace tavrin

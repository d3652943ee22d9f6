// The sample portrait must give every plug-in its face, in the expected place.
#include <gtest/gtest.h>

#include <string>

#include "bmp_builder.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "plugin_runner.h"
#include "demo/portrait.h"
#include "temp_dir.h"

namespace tavrin {
namespace {

struct DemoRun {
  test::RunResult result;
  test::TestPicture before, after;
};

// Runs one plug-in on the portrait; skips the test when it is not built.
DemoRun run_on_portrait(const char *command, const test::TempDir &dir) {
  const PluginInfo &plugin = *find_plugin(command);
  const std::string library = test::plugin_library(plugin.library);
  DemoRun run;
  if (!test::file_exists(library)) return run;
  const std::string in = dir.file("portrait.bmp"), out = dir.file("out.bmp");
  EXPECT_TRUE(write_picture(in.c_str(), make_portrait()));
  run.result = test::run_export(library, plugin.symbol, in, out);
  EXPECT_TRUE(test::decode_bmp24(test::read_file(in), run.before));
  EXPECT_TRUE(test::decode_bmp24(test::read_file(out), run.after));
  return run;
}

int changed_pixels(const DemoRun &run, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) n += !(run.before.at(x, y) == run.after.at(x, y));
  return n;
}

#define SKIP_UNLESS_BUILT(lib)                                                          \
  if (!test::file_exists(test::plugin_library(lib))) GTEST_SKIP() << lib " is not built"

TEST(DemoPortrait, HatStandsOnTheHead) {
  SKIP_UNLESS_BUILT("TavrinBMPFaceHat");
  test::TempDir dir;
  DemoRun run = run_on_portrait("hat", dir);
  ASSERT_EQ(run.result.status, 999) << run.result.err;
  EXPECT_NE(run.result.out.find("Face at (160,175)  size 160x200\n"), std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.result.err, "");
  // Brim and crown above the eyes, nothing below them.
  EXPECT_GT(changed_pixels(run, 160, 100, 320, 230), 10000);
  EXPECT_EQ(changed_pixels(run, 0, 240, 480, 600), 0);
}

TEST(DemoPortrait, SunglassesSitOnTheEyes) {
  SKIP_UNLESS_BUILT("TavrinBMPSunglasses");
  test::TempDir dir;
  DemoRun run = run_on_portrait("sunglasses", dir);
  ASSERT_EQ(run.result.status, 999) << run.result.err;
  // The painted eyes are centred on columns 193/194 and 285/286, row 250.
  EXPECT_NE(run.result.out.find("Left eye:  center=(194,245)\nRight eye: center=(285,245)\n"),
            std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(changed_pixels(run, 0, 0, 480, 200), 0);
  EXPECT_EQ(changed_pixels(run, 0, 300, 480, 600), 0);
}

TEST(DemoPortrait, BeardCoversTheLowerFace) {
  SKIP_UNLESS_BUILT("TavrinBMPFaceBeard");
  test::TempDir dir;
  DemoRun run = run_on_portrait("beard", dir);
  ASSERT_EQ(run.result.status, 999) << run.result.err;
  // The band of skin rows ends at the chin, not at the shirt.
  EXPECT_NE(run.result.out.find("  Face region: x=126  y=175  w=228  h=252\n"), std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(changed_pixels(run, 0, 0, 480, 300), 0);
  EXPECT_GT(changed_pixels(run, 130, 340, 350, 440), 15000);
}

TEST(DemoPortrait, MustacheSitsBetweenNoseAndLips) {
  SKIP_UNLESS_BUILT("TavrinBMPMustache");
  test::TempDir dir;
  DemoRun run = run_on_portrait("mustache", dir);
  ASSERT_EQ(run.result.status, 999) << run.result.err;
  EXPECT_NE(run.result.out.find("Drawing mustache at cx=239 mouthY=351 faceW=230 ...\n"),
            std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.result.err, "");
  // Nostrils end on row 334, lips start on row 371.
  EXPECT_EQ(changed_pixels(run, 0, 0, 480, 336), 0);
  EXPECT_EQ(changed_pixels(run, 0, 371, 480, 600), 0);
}

} // namespace
} // namespace tavrin

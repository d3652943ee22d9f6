// The sample portrait must give every plug-in its face, in the expected place.
#include <gtest/gtest.h>

#include <string>

#include "bmp_builder.h"
#include "plugin_loader.h"
#include "plugin_runner.h"
#include "portrait.h"
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

} // namespace
} // namespace tavrin

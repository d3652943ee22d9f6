// Planning a batch: which files run, where they go, and what makes the whole
// batch refuse before any work.
#include <gtest/gtest.h>

#include <filesystem>

#include "bmp_builder.h"
#include "cli/batch_plan.h"
#include "temp_dir.h"

namespace tavrin::cli {
namespace {

namespace fs = std::filesystem;

class Plan : public ::testing::Test {
protected:
  void picture(const std::string &relative) {
    fs::create_directories(fs::path(dir.file(relative)).parent_path());
    test::write_file(dir.file(relative), test::encode_bmp(test::make_picture(4, 4, {1, 2, 3})));
  }
  void text(const std::string &relative) {
    fs::create_directories(fs::path(dir.file(relative)).parent_path());
    test::write_file(dir.file(relative), {'h', 'i', '\n'});
  }
  BatchPlan plan(std::vector<std::string> inputs, bool recursive, const std::string &format = "",
                 bool skip = false) {
    for (std::string &i : inputs) i = dir.file(i);
    return plan_batch({inputs, dir.file("out"), format, recursive, skip});
  }
  std::string out(const std::string &relative) { return dir.file("out/" + relative); }

  test::TempDir dir;
};

TEST(OutputName, KeepsTheStemAndTakesTheFormatOrTheContentsType) {
  EXPECT_EQ(output_name("sub/x.jpg", "", "jpg"), "sub/x.jpg");
  EXPECT_EQ(output_name("sub/x.jpg", "png", "jpg"), "sub/x.png");
  EXPECT_EQ(output_name("x.tar.bmp", ".webp", "bmp"), "x.tar.webp");
  EXPECT_EQ(output_name("IMG_0001", "", "heic"), "IMG_0001.heic");
}

TEST_F(Plan, KeepsTheLayoutBelowEachFolderAndSkipsNonPictures) {
  picture("in/a.bmp");
  picture("in/sub/deeper/b.bmp");
  text("in/sub/notes.txt");
  picture("in/sub/.hidden/c.bmp");
  picture("loose.bmp");
  const BatchPlan p = plan({"in", "loose.bmp"}, true);
  ASSERT_TRUE(p.conflicts.empty());
  std::vector<std::pair<std::string, ItemState>> got;
  for (const BatchItem &i : p.items) got.emplace_back(i.output, i.state);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, ItemState>>{
                     {out("a.bmp"), ItemState::run},
                     {out("sub/.hidden/c.bmp"), ItemState::run},
                     {out("sub/deeper/b.bmp"), ItemState::run},
                     {"", ItemState::not_a_picture},
                     {out("loose.bmp"), ItemState::run}}));
  EXPECT_EQ(p.items[3].input, dir.file("in/sub/notes.txt"));

  const BatchPlan flat = plan({"in"}, false);
  EXPECT_EQ(flat.items.size(), 1u);
  EXPECT_EQ(flat.folders_not_walked, 1u);
}

TEST_F(Plan, NeverWalksIntoItsOwnOutputOrStagingFolders) {
  picture("in/a.bmp");
  picture("in/out/a.bmp");           // last run's output, inside the input
  picture("in/.tavrin-1-2/a.bmp");   // a killed run's staging folder
  const BatchPlan p = plan_batch({{dir.file("in")}, dir.file("in/out"), "", true, false});
  ASSERT_EQ(p.items.size(), 1u);
  EXPECT_EQ(p.items[0].input, dir.file("in/a.bmp"));
}

TEST_F(Plan, TwoInputsOntoOneOutputRefuseTheBatch) {
  picture("in/a.bmp");
  picture("in/a.png"); // BMP bytes, any name: --format bmp maps both to a.bmp
  EXPECT_TRUE(plan({"in"}, false).conflicts.empty());
  const BatchPlan p = plan({"in"}, false, "bmp");
  ASSERT_EQ(p.conflicts.size(), 1u);
  EXPECT_NE(p.conflicts[0].find("would both be written to " + out("a.bmp")), std::string::npos);

  picture("other/a.bmp");
  EXPECT_EQ(plan({"in/a.bmp", "other"}, false).conflicts.size(), 1u);
}

TEST_F(Plan, AnOutputThatIsAnInputRefusesTheBatch) {
  picture("out/a.bmp");
  const BatchPlan p = plan({"out"}, false);
  ASSERT_EQ(p.conflicts.size(), 1u);
  EXPECT_NE(p.conflicts[0].find("is an input"), std::string::npos);
  // A hard link to an input is the same file.
  picture("in/b.bmp");
  fs::create_hard_link(dir.file("in/b.bmp"), out("b.bmp"));
  EXPECT_EQ(plan({"in/b.bmp"}, false).conflicts.size(), 1u);
}

TEST_F(Plan, SkipExistingLeavesOutputsThatAreThereAndMissingInputsFail) {
  picture("in/a.bmp");
  picture("in/b.bmp");
  fs::create_directories(dir.file("out"));
  test::write_file(out("a.bmp"), {'x'});
  const BatchPlan p = plan({"in", "missing.bmp"}, false, "", true);
  ASSERT_TRUE(p.conflicts.empty());
  ASSERT_EQ(p.items.size(), 3u);
  EXPECT_EQ(p.items[0].state, ItemState::exists);
  EXPECT_EQ(p.items[1].state, ItemState::run);
  EXPECT_EQ(p.items[2].state, ItemState::unreadable);
  EXPECT_EQ(p.items[2].why, "no such file or folder");
}

} // namespace
} // namespace tavrin::cli

// The batch mode end to end, through the tavrin program itself: counts,
// exit statuses, the report, the layout of the outputs, faults of single
// calls, resuming, Ctrl-C, and GNU parallel writing the same files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "bmp_builder.h"
#include "demo/portrait.h"
#include "program_run.h"
#include "temp_dir.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using test::Rgb;

class Batch : public ::testing::Test {
protected:
  Batch() { test::let_crashes_through_sanitizers(); }
  std::string path(const std::string &relative) { return dir.file(relative); }
  void mkdirs(const std::string &relative) { fs::create_directories(fs::path(path(relative)).parent_path()); }
  void portrait(const std::string &relative) {
    mkdirs(relative);
    ASSERT_TRUE(write_picture(path(relative).c_str(), make_portrait()));
  }
  // Too small for the sunglasses to find eyes in: written without a face.
  void flat(const std::string &relative, Rgb colour) {
    mkdirs(relative);
    test::write_file(path(relative), test::encode_bmp(test::make_picture(8, 8, colour)));
  }
  void bytes(const std::string &relative, std::vector<uint8_t> content) {
    mkdirs(relative);
    test::write_file(path(relative), content);
  }
  test::ProgramResult tavrin(std::vector<std::string> args) { return test::run_program(args, dir.path()); }
  std::vector<nlohmann::json> report(const std::string &relative) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path(relative));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
  // Every file below `relative`, as paths relative to it.
  std::set<std::string> files(const std::string &relative) {
    std::set<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(path(relative)))
      if (!e.is_directory()) found.insert(fs::relative(e.path(), path(relative)).string());
    return found;
  }
  void expect_no_staging(const std::string &relative) {
    for (const auto &e : fs::recursive_directory_iterator(path(relative)))
      EXPECT_FALSE(e.path().filename().string().starts_with(".tavrin-")) << e.path();
  }
  static void expect_no_control_characters(const std::string &text) {
    for (char c : text)
      ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t')
          << "control character " << static_cast<int>(c) << " in:\n" << text;
  }

  test::TempDir dir;
};

TEST_F(Batch, NestedFolderOfGoodFacelessBrokenAndOtherFiles) {
  portrait("in/portrait.bmp");
  flat("in/sub/grey.bmp", {128, 128, 128});
  bytes("in/sub/readme.txt", {'n', 'o', 't', 'e', '\n'});
  portrait("in/sub/deeper/second.bmp");
  std::vector<uint8_t> broken = test::read_file(path("in/portrait.bmp"));
  broken.resize(200);
  bytes("in/sub/deeper/broken.bmp", broken);

  const test::ProgramResult r = tavrin({"sunglasses", "--out-dir", path("out"), "-r", "-j", "2",
                                        "--report", path("report.jsonl"), path("in")});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("3 written (1 without a face found), 1 skipped (1 not a picture), 1 failed."),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  " + path("in/sub/deeper/broken.bmp") + ": "), std::string::npos) << r.out;
  expect_no_control_characters(r.out);
  expect_no_control_characters(r.err);
  // Each file's lines form one block right below its header.
  const std::string header = "== " + path("in/sub/deeper/second.bmp") + " ==\nLoading " + path("in/sub/deeper/second.bmp");
  EXPECT_NE(r.out.find(header), std::string::npos) << r.out;

  EXPECT_EQ(files("out"), (std::set<std::string>{"portrait.bmp", "sub/grey.bmp", "sub/deeper/second.bmp"}));
  expect_no_staging("out");

  const std::vector<nlohmann::json> lines = report("report.jsonl");
  ASSERT_EQ(lines.size(), 5u);
  std::map<std::string, nlohmann::json> by_input;
  for (const nlohmann::json &j : lines) by_input[j["input"]] = j;
  EXPECT_EQ(by_input[path("in/portrait.bmp")]["status"], "written");
  EXPECT_EQ(by_input[path("in/portrait.bmp")]["face_found"], true);
  EXPECT_EQ(by_input[path("in/portrait.bmp")]["output"], path("out/portrait.bmp"));
  EXPECT_GT(by_input[path("in/portrait.bmp")]["lines"].size(), 3u);
  EXPECT_EQ(by_input[path("in/sub/grey.bmp")]["status"], "written");
  EXPECT_EQ(by_input[path("in/sub/grey.bmp")]["face_found"], false);
  EXPECT_EQ(by_input[path("in/sub/readme.txt")]["status"], "skipped");
  EXPECT_EQ(by_input[path("in/sub/readme.txt")]["reason"], "not a picture");
  const nlohmann::json &failed = by_input[path("in/sub/deeper/broken.bmp")];
  EXPECT_EQ(failed["status"], "failed");
  EXPECT_TRUE(failed["error"].is_string());
  EXPECT_FALSE(failed["error_lines"].empty());

  // Without -r only the top folder counts; --quiet hides the plug-in's lines.
  const test::ProgramResult flat_run = tavrin({"sunglasses", "--out-dir", path("flat"), "-q", path("in")});
  EXPECT_EQ(flat_run.status, 0) << flat_run.out;
  EXPECT_EQ(flat_run.out.find("Loading"), std::string::npos) << flat_run.out;
  EXPECT_NE(flat_run.out.find("1 written, 0 skipped, 0 failed."), std::string::npos) << flat_run.out;
  EXPECT_NE(flat_run.out.find("1 sub-folders were not walked"), std::string::npos) << flat_run.out;
}

TEST_F(Batch, CrashingAndHangingCallsFailOnlyTheirFiles) {
  flat("in/a-plain.bmp", {10, 20, 30});
  flat("in/b-crash.bmp", {255, 0, 0});
  flat("in/c-hang.bmp", {0, 255, 0});
  flat("in/d-face.bmp", {255, 255, 255});
  const test::ProgramResult r = tavrin({"--plugin-dir", TAVRIN_MISBEHAVING_DIR, "sunglasses", "--out-dir",
                                        path("out"), "--timeout", "1", "-j", "2", "-v", path("in")});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("2 written (1 without a face found), 0 skipped, 2 failed."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(path("in/b-crash.bmp") + ": the sunglasses plug-in crashed (Segmentation fault)"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find(path("in/c-hang.bmp") + ": timed out after 1 s"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("About to crash"), std::string::npos) << "the crashed call's lines are shown";
  for (const char *counter : {"[1/4] ", "[2/4] ", "[3/4] ", "[4/4] "})
    EXPECT_NE(r.out.find(counter), std::string::npos) << counter;
  expect_no_control_characters(r.out);
  EXPECT_EQ(files("out"), (std::set<std::string>{"a-plain.bmp", "d-face.bmp"}));
  expect_no_staging("out");
}

TEST_F(Batch, SkipExistingDoesNoWorkTheSecondTime) {
  portrait("in/a.bmp");
  flat("in/sub/b.bmp", {128, 128, 128});
  const test::ProgramResult first = tavrin({"sunglasses", "--out-dir", path("out"), "-r", path("in")});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  struct stat before {};
  ASSERT_EQ(stat(path("out/a.bmp").c_str(), &before), 0);

  const test::ProgramResult again = tavrin({"sunglasses", "--out-dir", path("out"), "-r", "--skip-existing",
                                            "--report", path("again.jsonl"), path("in")});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("0 written, 2 skipped (2 already written), 0 failed."), std::string::npos) << again.out;
  EXPECT_EQ(again.out.find("Loading"), std::string::npos);
  struct stat after {};
  ASSERT_EQ(stat(path("out/a.bmp").c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(before.st_ino, after.st_ino);
  for (const nlohmann::json &j : report("again.jsonl")) EXPECT_EQ(j["reason"], "output exists");
}

TEST_F(Batch, CollisionsAndInputsInTheWayStopItBeforeAnyWork) {
  flat("in/a.bmp", {1, 2, 3});
  flat("in/a.png", {1, 2, 3});
  flat("in/z.bmp", {1, 2, 3});
  const test::ProgramResult r = tavrin({"sunglasses", "--out-dir", path("out"), "--format", "bmp", path("in")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("would both be written to " + path("out/a.bmp")), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(path("out/z.bmp")));

  const std::vector<uint8_t> before = test::read_file(path("in/z.bmp"));
  const test::ProgramResult onto = tavrin({"sunglasses", "--out-dir", path("in"), path("in/z.bmp")});
  EXPECT_EQ(onto.status, 2);
  EXPECT_NE(onto.err.find("is an input"), std::string::npos) << onto.err;
  EXPECT_EQ(test::read_file(path("in/z.bmp")), before);
}

TEST_F(Batch, InterruptLeavesAValidReportAndNoStaging) {
  flat("in/a.bmp", {10, 20, 30});
  flat("in/b.bmp", {10, 20, 30});
  flat("in/c-hang.bmp", {0, 255, 0});
  flat("in/d-hang.bmp", {0, 255, 0});
  flat("in/e.bmp", {10, 20, 30});
  const pid_t pid = test::start_program(
      TAVRIN_HOST_PROGRAM,
      {"--plugin-dir", TAVRIN_MISBEHAVING_DIR, "sunglasses", "--out-dir", path("out"), "-j", "1", "--timeout", "30",
       "--report", path("report.jsonl"), path("in")},
      path("stdout.log"), path("stderr.log"));
  ASSERT_GT(pid, 0);
  // Wait (boundedly) until the two plain files are done and the hang runs.
  for (int i = 0; i < 1000 && report("report.jsonl").size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGINT);
  EXPECT_EQ(test::wait_program(pid), 130);

  const std::vector<nlohmann::json> lines = report("report.jsonl"); // parses every line
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0]["status"], "written");
  EXPECT_EQ(lines.back()["status"], lines.size() == 2 ? "written" : "interrupted");
  expect_no_staging("out");
  EXPECT_FALSE(fs::exists(path("out/c-hang.bmp")));
  EXPECT_FALSE(fs::exists(path("out/e.bmp")));
  const std::vector<uint8_t> out = test::read_file(path("stdout.log"));
  const std::string text(out.begin(), out.end());
  EXPECT_NE(text.find("Interrupted: 3 not done."), std::string::npos) << text;
  EXPECT_NE(text.find("2 written"), std::string::npos) << text;
}

TEST_F(Batch, GnuParallelWritesTheSameFilesAsTheBatchMode) {
  if (std::system("command -v parallel >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "GNU parallel is not installed (Debian package 'parallel')";
  portrait("in/a.bmp");
  flat("in/b.bmp", {128, 128, 128});
  flat("in/c.bmp", {200, 150, 120});
  fs::create_directories(path("by-parallel"));
  // The README's line, with HOME kept inside the test.
  const std::string line = "cd " + dir.path() + " && HOME=" + dir.path() +
                           " find in -type f | parallel --will-cite -j 2 " + TAVRIN_HOST_PROGRAM +
                           " sunglasses {} by-parallel/{/} >/dev/null 2>&1";
  ASSERT_EQ(std::system(line.c_str()), 0);
  const test::ProgramResult batch = tavrin({"sunglasses", "--out-dir", path("by-batch"), "-q", path("in")});
  ASSERT_EQ(batch.status, 0) << batch.out;
  ASSERT_EQ(files("by-parallel"), files("by-batch"));
  for (const std::string &name : files("by-batch"))
    EXPECT_EQ(test::read_file(path("by-parallel/" + name)), test::read_file(path("by-batch/" + name))) << name;
}

} // namespace
} // namespace tavrin

namespace tavrin {
namespace {

TEST_F(Batch, SlurmScriptShardsAListAndKeepsItsLayout) {
  portrait("in/a.bmp");
  flat("in/sub/b.bmp", {128, 128, 128});
  flat("in/sub/deeper/c.bmp", {90, 90, 90});
  ASSERT_EQ(std::system(("cd " + dir.path() + " && find in -type f | sort > list.txt").c_str()), 0);
  // Two tasks of an array, run here one after the other as Slurm would.
  for (int task = 0; task < 2; ++task) {
    const std::string line = "cd " + dir.path() + " && SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
                             " SLURM_ARRAY_TASK_COUNT=2 TAVRIN=" + TAVRIN_HOST_PROGRAM + " TMPDIR=" + dir.path() +
                             " bash " + TAVRIN_SOURCE_DIR + "/scripts/slurm-batch.sh sunglasses list.txt out >/dev/null 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
  }
  EXPECT_EQ(files("out"), (std::set<std::string>{"in/a.bmp", "in/sub/b.bmp", "in/sub/deeper/c.bmp",
                                                  "report-0.jsonl", "report-1.jsonl"}));
  const size_t reported = report("out/report-0.jsonl").size() + report("out/report-1.jsonl").size();
  EXPECT_EQ(reported, 3u);
  for (const auto &e : fs::directory_iterator(dir.path()))
    EXPECT_FALSE(e.path().filename().string().starts_with("tavrin-shard-")) << "shard folder left";
}

} // namespace
} // namespace tavrin

// The tavrin program on real picture files: inputs made with libvips in a
// folder of their own, the program's console kept in another, so a listing
// of the first shows exactly what the program left there.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "plugin_runner.h"
#include "tavrin/overlay.h"
#include "plugins/registry.h"
#include "program_run.h"
#include "temp_dir.h"
#include "vips_pictures.h"

namespace tavrin::test {

class PhotoCommand : public ::testing::Test {
protected:
  void SetUp() override {
    start_vips();
    for (const PluginInfo &p : kPlugins)
      if (!file_exists(plugin_library(p.library))) GTEST_SKIP() << p.library << " is not built";
  }

  std::string path(const std::string &name) const { return files.file(name); }

  ProgramResult tavrin(const std::vector<std::string> &args) { return run_program(args, logs.path()); }

  // Every name in the files folder, hidden ones included.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(files.path())) names.insert(e.path().filename().string());
    return names;
  }

  // Exit 1, one line naming the input, nothing new in the folder.
  void expect_refused(const ProgramResult &r, const std::string &input, const std::set<std::string> &before) {
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string head = "tavrin: " + input + ": ";
    EXPECT_TRUE(r.err.starts_with(head) && r.err.size() > head.size()) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "not one line: " << r.err;
    EXPECT_EQ(listing(), before);
    // So that the next case starts from the same folder.
    for (const std::string &name : listing())
      if (!before.contains(name)) std::filesystem::remove_all(path(name));
  }

  // What the plug-in itself writes for these pixels, called directly on a
  // 24-bit BMP of them.
  TestPicture direct_call(const std::string &effect, const TestPicture &pixels) {
    const PluginInfo &plugin = *find_plugin(effect);
    write_file(logs.file("direct-in.bmp"), encode_bmp(pixels));
    const RunResult r = run_export(plugin_library(plugin.library), plugin.symbol, logs.file("direct-in.bmp"),
                                   logs.file("direct-out.bmp"));
    EXPECT_EQ(r.status, TAVRIN_STATUS_WRITTEN) << r.err;
    TestPicture out;
    EXPECT_TRUE(decode_bmp24(read_file(logs.file("direct-out.bmp")), out));
    return out;
  }

  static bool found_face(const std::string &effect, const ProgramResult &r) {
    return reports_face(*find_plugin(effect), r.out);
  }

  TempDir files, logs;
};

} // namespace tavrin::test

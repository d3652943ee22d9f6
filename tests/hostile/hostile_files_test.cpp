// The fuzzers' seed corpus and every input that once broke a plug-in, run
// through each real library the way the host calls it: every call completes
// and keeps the export's contract (export_contract.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "export_contract.h"
#include "plugin_expectations.h"
#include "seed_pictures.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

constexpr uint64_t kOneGiB = uint64_t{1} << 30;

std::vector<fuzz::SeedFile> hostile_files() {
  std::vector<fuzz::SeedFile> files = fuzz::make_seed_files();
  std::vector<std::filesystem::path> found;
  for (const auto &entry : std::filesystem::directory_iterator(TAVRIN_REGRESSION_DIR))
    if (entry.is_regular_file()) found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  for (const auto &path : found)
    files.push_back({"regression/" + path.filename().string(), read_file(path.string())});
  return files;
}

class HostileFiles : public testing::TestWithParam<PluginExpectations> {};

TEST_P(HostileFiles, EveryCallKeepsTheContract) {
  const PluginExpectations &plugin = GetParam();
  TempDir dir;
  const std::string input = dir.file("in.bmp"), output = dir.file("out.bmp");
  const std::vector<fuzz::SeedFile> files = hostile_files();
  ASSERT_GT(files.size(), 50u);
  for (const fuzz::SeedFile &file : files) {
    SCOPED_TRACE(file.name);
    write_file(input, file.bytes);
    std::filesystem::remove(output);
    RunResult r = run_plugin(plugin, input, output, {.address_space_limit = kOneGiB});
    ASSERT_TRUE(r.completed) << r.err;
    fuzz::ExportOutcome outcome{r.status, file_exists(output), read_file(output)};
    EXPECT_EQ(fuzz::check_export_outcome(file.bytes.data(), file.bytes.size(), plugin.rules, outcome), "");
    // The console agrees with the status.
    EXPECT_EQ(r.out.find(plugin.written(output)) != std::string::npos, r.status == 999) << r.out;
    if (r.status == 1) {
      EXPECT_EQ(r.out, plugin.before_load(input));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Plugins, HostileFiles, testing::ValuesIn(built_plugins()),
                         [](const auto &info) { return plugin_test_name(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(HostileFiles);

} // namespace
} // namespace tavrin::test

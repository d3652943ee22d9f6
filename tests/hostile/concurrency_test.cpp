// The plug-ins loaded side by side in one process and called from four
// threads at once, round after round, on different pictures: every output
// must be byte for byte what a single-threaded call wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "plugin_expectations.h"
#include "portrait.h"
#include "quiet_child.h"
#include "seed_pictures.h"
#include "temp_dir.h"
#include "utf16.h"

namespace tavrin::test {
namespace {

constexpr int kThreads = 4;
constexpr auto kBudget = std::chrono::milliseconds(1500); // of single-threaded work
constexpr int kMinRounds = 4, kMaxRounds = 40;

// Four different pictures with a face: the portrait, mirrored, cropped to an
// odd width, and a small synthetic one.
std::vector<std::vector<uint8_t>> picture_files(const TempDir &dir) {
  Picture portrait = make_portrait();
  Picture mirrored = portrait;
  for (int y = 0; y < portrait.height; ++y)
    for (int x = 0; x < portrait.width; ++x)
      std::copy_n(&portrait.bgr[(static_cast<size_t>(y) * portrait.width + x) * 3], 3,
                  &mirrored.bgr[(static_cast<size_t>(y) * portrait.width + portrait.width - 1 - x) * 3]);
  Picture cropped;
  cropped.width = portrait.width - 79;
  cropped.height = portrait.height - 61;
  for (int y = 30; y < 30 + cropped.height; ++y)
    cropped.bgr.insert(cropped.bgr.end(), &portrait.bgr[(static_cast<size_t>(y) * portrait.width + 40) * 3],
                       &portrait.bgr[(static_cast<size_t>(y) * portrait.width + 40 + cropped.width) * 3]);
  std::vector<std::vector<uint8_t>> files;
  for (const Picture *p : {&portrait, &mirrored, &cropped}) {
    const std::string path = dir.file("picture.bmp");
    if (!write_picture(path.c_str(), *p)) return {};
    files.push_back(read_file(path));
  }
  files.push_back(fuzz::make_face_file(121, 151));
  return files;
}

struct Output {
  int32_t status = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const Output &) const = default;
};

// One call of `entry`, in this process, on this thread.
Output call(OverlayExport entry, const std::string &input, const std::string &output) {
  std::u16string in = argument_to_utf16(input), out = argument_to_utf16(output);
  Output result;
  result.status = entry(in.c_str(), out.c_str());
  result.bytes = read_file(output);
  return result;
}

// Loads `plugins`, writes the pictures, takes the single-threaded outputs of
// every plug-in on every picture, then lets kThreads threads call
// job(thread, round) -> {plug-in, picture} at once, round after round.
// Returns the differences found, or empty.
std::string race(const std::vector<PluginExpectations> &plugins,
                 const std::function<std::pair<size_t, size_t>(int thread, int round)> &job) {
  TempDir dir;
  std::vector<LoadedPlugin> loaded(plugins.size());
  for (size_t p = 0; p < plugins.size(); ++p) {
    std::string error;
    if (!loaded[p].load(plugin_library(plugins[p].info->library), plugins[p].info->symbol, error))
      return "cannot load " + std::string(plugins[p].info->library) + ": " + error;
  }
  const std::vector<std::vector<uint8_t>> files = picture_files(dir);
  if (files.size() != kThreads) return "cannot write the pictures";
  std::vector<std::string> inputs;
  for (size_t k = 0; k < files.size(); ++k) {
    inputs.push_back(dir.file("in" + std::to_string(k) + ".bmp"));
    write_file(inputs.back(), files[k]);
  }

  std::map<std::pair<size_t, size_t>, Output> expected;
  const auto start = std::chrono::steady_clock::now();
  for (size_t p = 0; p < plugins.size(); ++p)
    for (size_t k = 0; k < inputs.size(); ++k) {
      Output one = call(loaded[p].entry(), inputs[k], dir.file("reference.bmp"));
      if (one.status != 999) return std::string(plugins[p].info->command) + " failed on picture " + std::to_string(k);
      expected[{p, k}] = one;
    }
  // A round is kThreads calls; keep the whole race near the budget.
  const auto per_call = (std::chrono::steady_clock::now() - start) / (plugins.size() * inputs.size());
  const int rounds = std::clamp(static_cast<int>(kBudget / (per_call * kThreads + std::chrono::microseconds(1))),
                                kMinRounds, kMaxRounds);

  std::mutex mutex;
  std::string problems;
  std::barrier<> all_ready(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string output = dir.file("out" + std::to_string(t) + ".bmp");
      for (int r = 0; r < rounds; ++r) {
        auto [p, k] = job(t, r);
        all_ready.arrive_and_wait(); // every thread starts its call together
        Output got = call(loaded[p].entry(), inputs[k], output);
        if (!(got == expected[{p, k}])) {
          std::lock_guard lock(mutex);
          problems += std::string(plugins[p].info->command) + " on picture " + std::to_string(k) +
                      " in round " + std::to_string(r) + " (thread " + std::to_string(t) + "): status " +
                      std::to_string(got.status) + ", output differs from the single-threaded one\n";
        }
      }
    });
  for (std::thread &thread : threads) thread.join();
  return problems;
}

// Each round the threads run different plug-ins; over the rounds every
// plug-in meets every picture.
TEST(Concurrency, DifferentPluginsOnFourThreadsMatchSingleThreadedOutput) {
  std::vector<PluginExpectations> plugins = built_plugins();
  // With fewer plug-ins than threads some calls share a plug-in, which only
  // those without module-wide state allow.
  if (plugins.size() < kThreads)
    std::erase_if(plugins, [](const PluginExpectations &p) { return p.one_call_at_a_time; });
  if (plugins.size() < 2) GTEST_SKIP() << "needs two plug-ins";
  EXPECT_EQ(run_quietly([&] {
              return race(plugins, [&](int t, int r) {
                return std::pair<size_t, size_t>((t + r) % plugins.size(), t);
              });
            }),
            "");
}

// The plug-ins that keep no module-wide state serve four calls at once.
TEST(Concurrency, OnePluginOnFourThreadsMatchesSingleThreadedOutput) {
  for (const PluginExpectations &plugin : built_plugins()) {
    if (plugin.one_call_at_a_time) continue;
    SCOPED_TRACE(plugin.info->command);
    EXPECT_EQ(run_quietly([&] {
                return race({plugin}, [](int t, int) { return std::pair<size_t, size_t>(0, t); });
              }),
              "");
  }
}

} // namespace
} // namespace tavrin::test

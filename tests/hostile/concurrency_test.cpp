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

#include "hostile_pictures.h"
#include "plugin_expectations.h"
#include "quiet_child.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin::test {
namespace {

constexpr int kThreads = 4;
constexpr auto kBudget = std::chrono::milliseconds(1500); // of single-threaded work
constexpr int kMinRounds = 4, kMaxRounds = 40;

// Four different pictures with a face: the portrait at half size, mirrored,
// cropped to an odd width, and at a third of its size.
std::vector<Picture> pictures() {
  const Picture half = shrunk_portrait(2);
  return {half, mirrored(half), cropped(half, 10, 5, 221, 280), shrunk_portrait(3)};
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
  std::vector<std::string> inputs;
  for (const Picture &picture : pictures()) {
    inputs.push_back(dir.file("in" + std::to_string(inputs.size()) + ".bmp"));
    if (!write_picture(inputs.back().c_str(), picture)) return "cannot write " + inputs.back();
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
  const std::vector<PluginExpectations> plugins = built_plugins();
  if (plugins.size() < 2) GTEST_SKIP() << "needs two plug-ins";
  EXPECT_EQ(run_quietly([&] {
              return race(plugins, [&](int t, int r) {
                return std::pair<size_t, size_t>((t + r) % plugins.size(), t);
              });
            }),
            "");
}

// No plug-in keeps module-wide state, so each serves four calls at once.
TEST(Concurrency, OnePluginOnFourThreadsMatchesSingleThreadedOutput) {
  for (const PluginExpectations &plugin : built_plugins()) {
    SCOPED_TRACE(plugin.info->command);
    EXPECT_EQ(run_quietly([&] {
                return race({plugin}, [](int t, int) { return std::pair<size_t, size_t>(0, t); });
              }),
              "");
  }
}

} // namespace
} // namespace tavrin::test

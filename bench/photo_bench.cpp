#include "photo_bench.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "face_picture.h"
#include "measure.h"
#include "photo/pipeline.h"
#include "plugins/registry.h"

namespace tavrin::bench {

namespace {

namespace fs = std::filesystem;

constexpr double kPathTarget = 2.5;     // x `vips copy`
constexpr double kStagingTarget = 0.10; // share of the whole call

struct Options {
  double megapixels = 16;
  int runs = 3;
  std::string keep_dir;
  std::string vips = "/usr/bin/vips";
};

void usage(std::FILE *to) {
  std::fprintf(to,
               "Usage: tavrin_bench --photo [--mp MEGAPIXELS] [--runs N] [--keep DIR] [--vips PATH]\n"
               "\n"
               "Makes a photo-like JPEG (default 16 megapixels, quality 90, 4:2:0) with\n"
               "`vips copy`, then times, best of --runs, `vips copy in.jpg out.jpg` and\n"
               "`tavrin EFFECT in.jpg out.jpg` for every effect, and --runs photo::run_job\n"
               "per effect in this process for the share of the private BMPs (the\n"
               "quickest counts).\n");
}

bool parse(int argc, char **argv, Options &o) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      usage(stdout);
      std::exit(0);
    }
    const char *value = i + 1 < argc ? argv[++i] : nullptr;
    if (value == nullptr) return false;
    if (arg == "--mp") o.megapixels = std::atof(value);
    else if (arg == "--runs") o.runs = std::atoi(value);
    else if (arg == "--keep") o.keep_dir = value;
    else if (arg == "--vips") o.vips = value;
    else return false;
  }
  return o.megapixels > 0 && o.megapixels <= 100 && o.runs >= 1;
}

double best_seconds(int runs, const std::vector<std::string> &args) {
  double best = -1;
  for (int r = 0; r < runs; ++r) {
    const double s = run_quietly(args);
    if (s < 0) return -1;
    if (best < 0 || s < best) best = s;
  }
  return best;
}

// One job here with its lines thrown away, for the timings it reports.
photo::JobResult quiet_job(const photo::Job &job) {
  return photo::run_job(job, photo::RunOptions{true});
}

} // namespace

int run_photo_bench(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return 2;
  }
  const std::string bin = fs::canonical("/proc/self/exe").parent_path().string();
  const std::string tavrin = bin + "/tavrin";
  std::string dir = o.keep_dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/tavrin-photo-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    dir = pattern;
  }
  fs::create_directories(dir);
  const int32_t side = static_cast<int32_t>(std::lround(std::sqrt(o.megapixels * 1e6)));
  const std::string bmp = dir + "/face.bmp", jpg = dir + "/face.jpg";
  if (!write_picture(bmp.c_str(), make_face_picture(side, side)) ||
      run_quietly({o.vips, "copy", bmp, jpg + "[Q=90,subsample_mode=on]"}) < 0) {
    std::fprintf(stderr, "tavrin_bench: cannot make %s (is %s there?)\n", jpg.c_str(), o.vips.c_str());
    return 1;
  }
  fs::remove(bmp);

  const double copy = best_seconds(o.runs, {o.vips, "copy", jpg, dir + "/copy.jpg"});
  std::printf("%dx%d JPEG (%.1f MP), best of %d runs\n\n", side, side, side * double(side) / 1e6, o.runs);
  std::printf("%-24s %8s %7s | %8s %8s %8s %8s %8s | %5s\n", "", "ms", "x copy", "decode", "plug-in", "encode",
              "staging", "share", "met");
  std::printf("%-24s %8.1f\n", "vips copy in.jpg out.jpg", copy * 1000);
  bool all_met = copy > 0;
  for (const PluginInfo &plugin : kPlugins) {
    if (!fs::exists(plugin_path(bin, plugin))) continue;
    const std::string out = dir + "/" + plugin.command + ".jpg";
    const double s = best_seconds(o.runs, {tavrin, plugin.command, jpg, out});
    photo::Job job;
    job.effect = plugin.command;
    job.input = jpg;
    job.output = out;
    job.plugin_dir = bin;
    // Like the command, the quickest of --runs jobs counts.
    photo::JobResult r = quiet_job(job);
    for (int i = 1; i < o.runs; ++i) {
      photo::JobResult again = quiet_job(job);
      if (again.total_ms < r.total_ms) r = std::move(again);
    }
    const double share = r.total_ms > 0 ? r.staging_ms / r.total_ms : 0;
    const bool met = s > 0 && copy > 0 && s / copy <= kPathTarget && share < kStagingTarget;
    all_met = all_met && met;
    char label[64];
    std::snprintf(label, sizeof label, "tavrin %s", plugin.command);
    std::printf("%-24s %8.1f %7.2f | %8.1f %8.1f %8.1f %8.1f %7.1f%% | %5s\n", label, s * 1000,
                copy > 0 ? s / copy : 0, r.decode_ms, r.plugin_ms, r.encode_ms, r.staging_ms, 100 * share,
                met ? "yes" : "NO");
  }
  std::printf("\ntargets: within %.1fx of the copy, private BMPs under %.0f%% of the call; the\n"
              "columns after the ratio are the quickest of as many in-process run_jobs, in\n"
              "ms (decode and encode include the staging)\n",
              kPathTarget, 100 * kStagingTarget);
  if (o.keep_dir.empty()) fs::remove_all(dir);
  return all_met ? 0 : 1;
}

} // namespace tavrin::bench

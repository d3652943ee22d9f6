#include "batch_bench.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "face_picture.h"
#include "measure.h"
#include "photo/pipeline.h"
#include "plugins/registry.h"


namespace tavrin::bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int files = 16;
  double megapixels = 12;
  std::string format = "bmp"; // of the inputs; other formats are made with `vips copy`
  std::string effect = "sunglasses";
  int runs = 3;
  std::string keep_dir;
};

void usage(std::FILE *to) {
  std::fprintf(to,
               "Usage: tavrin_bench --batch [--files N] [--mp MEGAPIXELS] [--format EXT]\n"
               "                    [--effect NAME] [--runs N] [--keep DIR]\n"
               "\n"
               "Writes N photo-like pictures (default 16 of 12 megapixels, BMP; other\n"
               "formats are converted with libvips' `vips copy`), then times, best of\n"
               "--runs: photo::run_job on each file in this process, and the batch mode\n"
               "(`tavrin EFFECT --out-dir DIR -q -j J`) at -j1 and -j2.\n");
}

bool parse(int argc, char **argv, Options &o) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help") {
      usage(stdout);
      std::exit(0);
    }
    if (value == nullptr) return false;
    ++i;
    if (arg == "--files") o.files = std::atoi(value);
    else if (arg == "--mp") o.megapixels = std::atof(value);
    else if (arg == "--format") o.format = value;
    else if (arg == "--effect") o.effect = value;
    else if (arg == "--runs") o.runs = std::atoi(value);
    else if (arg == "--keep") o.keep_dir = value;
    else return false;
  }
  return o.files >= 1 && o.files <= 1000 && o.megapixels > 0 && o.megapixels <= 100 && o.runs >= 1 &&
         find_plugin(o.effect) != nullptr;
}

// The files in this process through the photo path, one after another,
// their lines thrown away; wall seconds, or -1 when one failed.
double direct_run(const std::vector<std::string> &inputs, const std::string &out_dir, const Options &o,
                  const std::string &plugin_dir) {
  std::fflush(stdout);
  const int saved_out = dup(1), saved_err = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  dup2(null, 2);
  bool ok = true;
  const auto start = Clock::now();
  for (const std::string &in : inputs) {
    photo::Job job;
    job.effect = o.effect;
    job.input = in;
    job.output = out_dir + "/" + fs::path(in).filename().string();
    job.plugin_dir = plugin_dir;
    ok = photo::run_job(job).outcome == photo::Outcome::written && ok;
  }
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::fflush(stdout);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  close(null);
  return ok ? s : -1;
}

double best(int runs, const std::function<double()> &run) {
  double b = -1;
  for (int r = 0; r < runs; ++r) {
    const double s = run();
    if (s < 0) return -1;
    if (b < 0 || s < b) b = s;
  }
  return b;
}

} // namespace

int run_batch_bench(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return 2;
  }
  const std::string plugin_dir = program_dir();
  const std::string program = plugin_dir + "/tavrin";
  std::string dir = o.keep_dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/tavrin-batch-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    dir = pattern;
  }
  const std::string in_dir = dir + "/in";
  fs::create_directories(in_dir);

  const int32_t width = std::max<int32_t>(16, static_cast<int32_t>(std::lround(std::sqrt(o.megapixels * 1e6 * 4 / 3) / 16)) * 16);
  const int32_t height = width / 4 * 3;
  std::vector<std::string> inputs;
  for (int i = 0; i < o.files; ++i) {
    // A slightly different face share per file, so no two files are alike.
    const Picture picture = make_face_picture(width, height, 0.22 + 0.005 * (i % 10));
    char stem[32];
    std::snprintf(stem, sizeof stem, "photo-%02d", i);
    const std::string bmp = in_dir + "/" + stem + ".bmp";
    if (!write_picture(bmp.c_str(), picture)) {
      std::fprintf(stderr, "tavrin_bench: cannot write %s\n", bmp.c_str());
      return 1;
    }
    std::string input = bmp;
    if (o.format != "bmp") {
      input = in_dir + "/" + stem + "." + o.format;
      if (run_quietly({"/usr/bin/vips", "copy", bmp, input}) < 0) {
        std::fprintf(stderr, "tavrin_bench: `vips copy %s %s` failed\n", bmp.c_str(), input.c_str());
        return 1;
      }
      fs::remove(bmp);
    }
    inputs.push_back(input);
  }

  std::printf("%d pictures of %dx%d (%s), effect %s, best of %d runs\n\n", o.files, width, height,
              o.format.c_str(), o.effect.c_str(), o.runs);
  const std::string direct_out = dir + "/direct";
  fs::create_directories(direct_out);
  const double direct = best(o.runs, [&] { return direct_run(inputs, direct_out, o, plugin_dir); });
  auto batch = [&](int jobs) {
    return best(o.runs, [&] {
      const std::string out = dir + "/batch-j" + std::to_string(jobs);
      fs::remove_all(out);
      return run_quietly({program, o.effect, "--out-dir", out, "-q", "-j", std::to_string(jobs), in_dir});
    });
  };
  const double j1 = batch(1), j2 = batch(2);
  if (direct < 0 || j1 < 0 || j2 < 0) {
    std::fprintf(stderr, "tavrin_bench: a run failed (direct %.3f s, -j1 %.3f s, -j2 %.3f s)\n", direct, j1, j2);
    return 1;
  }
  const double n = o.files;
  std::printf("%-28s %10s %10s %12s\n", "run", "seconds", "files/s", "ms per file");
  std::printf("%-28s %10.3f %10.2f %12.1f\n", "photo::run_job, in-process", direct, n / direct, 1000 * direct / n);
  std::printf("%-28s %10.3f %10.2f %12.1f\n", "batch -j1", j1, n / j1, 1000 * j1 / n);
  std::printf("%-28s %10.3f %10.2f %12.1f\n", "batch -j2", j2, n / j2, 1000 * j2 / n);
  std::printf("\n-j2 / -j1 files per second: %.2fx (target at least 1.8x on 2 cores)\n", j1 / j2);
  std::printf("batch -j1 overhead per file over the photo path: %.2f ms (target under 5 ms),\n"
              "  counting the program's and its worker's start-up\n",
              1000 * (j1 - direct) / n);
  if (o.keep_dir.empty()) fs::remove_all(dir);
  return 0;
}

} // namespace tavrin::bench

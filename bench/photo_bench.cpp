#include "photo_bench.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "face_picture.h"
#include "measure.h"
#include "photo/pipeline.h"
#if defined(TAVRIN_HAVE_PHOTO)
#include "photo/codec.h"
#include "photo/sniff.h"
#include "photo/staging.h"
#endif
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
               "per effect in this process for the split of its time (the quickest\n"
               "counts). What the private BMPs add is decoding into the BMP less decoding\n"
               "alone, plus encoding from it less encoding from memory.\n");
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

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// What the private BMPs add to a job's wall clock: decoding into the
// plug-in's BMP against decoding alone, and encoding from that BMP against
// encoding the same rows from memory, quickest of `runs` each. libvips
// writes and reads the BMP on threads beside its decoder and encoder, so
// this can be far less than the time spent in those calls. Negative when
// it cannot be measured.
struct StagingCost {
  double decode_alone = -1, decode_into_bmp = -1, encode_from_memory = -1, encode_from_bmp = -1;
  double added() const {
    if (decode_alone < 0 || decode_into_bmp < 0 || encode_from_memory < 0 || encode_from_bmp < 0) return -1;
    return std::max(0.0, decode_into_bmp - decode_alone) + std::max(0.0, encode_from_bmp - encode_from_memory);
  }
};

StagingCost staging_cost(const std::string &jpg, int runs) {
  StagingCost cost;
#if defined(TAVRIN_HAVE_PHOTO)
  const char *type = photo::picture_type(jpg);
  if (type == nullptr) return cost;
  std::string why;
  // A fresh file each time, as a job has: rewriting one would skip the
  // cost of its new pages.
  std::unique_ptr<photo::PrivateFile> bmp;
  const auto decode_ms = [&](bool into_bmp) {
    if (into_bmp) {
      bmp = std::make_unique<photo::PrivateFile>();
      if (!bmp->open("bench-in.bmp", why)) return -1.0;
    }
    jobs::UniqueFd input(open(jpg.c_str(), O_RDONLY | O_CLOEXEC));
    photo::DecodedPhoto decoded;
    photo::ErrorKind kind = photo::ErrorKind::none;
    double staging = 0;
    const Clock::time_point start = Clock::now();
    const bool ok = input && photo::decode(input.get(), photo::Limits{}, type, decoded, kind, why) &&
                    (into_bmp ? photo::write_plugin_bmp(decoded, bmp->fd(), staging, kind, why)
                              : photo::decode_only(decoded, why));
    return ok ? ms_since(start) : -1.0;
  };
  const auto encode_ms = [&](const photo::RgbPixels *from_memory) {
    photo::PrivateFile out;
    photo::Bmp24Rows rows;
    double staging = 0;
    if (!out.open("bench-out.jpg", why) || !rows.open(bmp->fd(), why)) return -1.0;
    const Clock::time_point start = Clock::now();
    const bool ok = from_memory != nullptr
                        ? photo::encode(from_memory->view(), nullptr, "jpg", photo::EncodeOptions{}, out.fd(), why)
                        : photo::encode_bmp(rows, nullptr, "jpg", photo::EncodeOptions{}, out.fd(), staging, why);
    return ok ? ms_since(start) : -1.0;
  };
  double *best[4] = {&cost.decode_alone, &cost.decode_into_bmp, &cost.encode_from_memory, &cost.encode_from_bmp};
  photo::RgbPixels pixels;
  for (int r = 0; r < runs; ++r) {
    // Interleaved, so a slow moment of the machine falls on both sides.
    double t[4] = {decode_ms(false), decode_ms(true), -1, -1};
    if (t[1] >= 0 && !pixels.data && !photo::read_bmp24(bmp->fd(), pixels, why)) return StagingCost{};
    t[2] = encode_ms(&pixels);
    t[3] = encode_ms(nullptr);
    for (int i = 0; i < 4; ++i) {
      if (t[i] < 0) return StagingCost{};
      if (*best[i] < 0 || t[i] < *best[i]) *best[i] = t[i];
    }
  }
#else
  (void)jpg;
  (void)runs;
#endif
  return cost;
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
  // Differences of noisy times: a few more runs than the rest.
  const StagingCost staging = staging_cost(jpg, std::max(o.runs, 5));
  const double added = staging.added();
  std::printf("%-24s %8s %7s | %8s %8s %8s | %8s %7s | %8s %7s | %5s\n", "", "ms", "x copy", "decode", "plug-in",
              "encode", "in BMPs", "share", "adds", "share", "met");
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
    const double added_share = r.total_ms > 0 && added >= 0 ? added / r.total_ms : 1;
    const bool met = s > 0 && copy > 0 && s / copy <= kPathTarget && added_share < kStagingTarget;
    all_met = all_met && met;
    char label[64];
    std::snprintf(label, sizeof label, "tavrin %s", plugin.command);
    std::printf("%-24s %8.1f %7.2f | %8.1f %8.1f %8.1f | %8.1f %6.1f%% | %8.1f %6.1f%% | %5s\n", label, s * 1000,
                copy > 0 ? s / copy : 0, r.decode_ms, r.plugin_ms, r.encode_ms, r.staging_ms, 100 * share, added,
                100 * added_share, met ? "yes" : "NO");
  }
  std::printf("\ntargets: within %.1fx of the copy, private BMPs adding under %.0f%% to the call.\n"
              "decode, plug-in, encode: the quickest of as many in-process run_jobs, in ms\n"
              "(decode and encode include the BMPs). in BMPs: time in the calls that write\n"
              "and read them, which libvips makes beside its decoder and encoder. adds: what\n"
              "the BMPs add to decoding and encoding, against decoding alone and encoding\n"
              "from memory (quickest of as many): here decoding %.1f ms alone, %.1f into the\n"
              "BMP; encoding %.1f ms from memory, %.1f from the BMP.\n",
              kPathTarget, 100 * kStagingTarget, staging.decode_alone, staging.decode_into_bmp,
              staging.encode_from_memory, staging.encode_from_bmp);
  if (o.keep_dir.empty()) fs::remove_all(dir);
  return all_met ? 0 : 1;
}

} // namespace tavrin::bench

#include "photo_bench.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
               "`tavrin EFFECT in.jpg out.jpg` for every effect, the two in turns so both\n"
               "see the machine alike, and --runs photo::run_job\n"
               "per effect in this process for the split of its time (the quickest\n"
               "counts). What the private BMPs add is timed as decoding into the BMP less\n"
               "decoding alone, plus encoding from it (and freeing it) less encoding from\n"
               "memory, in wall clock and in CPU time; the plug-in's own reading and\n"
               "writing of them counts as the plug-in's.\n");
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

struct TurnTimes {
  double first = -1, second = -1;
};

// Best of `runs` of each command, run in turns, so that both see the machine
// in the same moods.
TurnTimes best_in_turns(int runs, const std::vector<std::string> &first, const std::vector<std::string> &second) {
  TurnTimes best;
  for (int r = 0; r < runs; ++r) {
    const double a = run_quietly(first), b = run_quietly(second);
    if (a < 0 || b < 0) return {};
    if (best.first < 0 || a < best.first) best.first = a;
    if (best.second < 0 || b < best.second) best.second = b;
  }
  return best;
}

// One job here with its lines thrown away, for the timings it reports.
photo::JobResult quiet_job(const photo::Job &job) {
  return photo::run_job(job, photo::RunOptions{true});
}

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

double process_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Wall clock and CPU time (all threads) of one step; negative when it failed.
struct Timing {
  double wall = -1, cpu = -1;
};

// The quickest of several, each column on its own.
void keep_least(Timing &best, const Timing &t) {
  if (best.wall < 0 || t.wall < best.wall) best.wall = t.wall;
  if (best.cpu < 0 || t.cpu < best.cpu) best.cpu = t.cpu;
}

// What the private BMPs add to a job: decoding into the plug-in's BMP
// against decoding alone, and encoding from that BMP (and freeing it)
// against encoding the same rows from memory, quickest of `runs` each.
// libvips writes and reads the BMP on threads beside its decoder and
// encoder, so on a free core the wall clock grows by less than the time
// spent in those calls; the CPU time shows what they cost all the same. The
// plug-in's own reading and writing of the BMPs is the plug-in's time.
struct StagingCost {
  Timing decode_alone, decode_into_bmp, encode_from_memory, encode_from_bmp;
  std::string why; // why it could not be measured
  static double added(double a, double b, double c, double d) {
    if (a < 0 || b < 0 || c < 0 || d < 0) return -1;
    return std::max(0.0, b - a) + std::max(0.0, d - c);
  }
  double added_wall() const {
    return added(decode_alone.wall, decode_into_bmp.wall, encode_from_memory.wall, encode_from_bmp.wall);
  }
  double added_cpu() const {
    return added(decode_alone.cpu, decode_into_bmp.cpu, encode_from_memory.cpu, encode_from_bmp.cpu);
  }
};

StagingCost staging_cost(const std::string &jpg, int runs) {
  StagingCost cost;
#if defined(TAVRIN_HAVE_PHOTO)
  const char *type = photo::picture_type(jpg);
  if (type == nullptr) {
    cost.why = jpg + ": not a picture";
    return cost;
  }
  std::string &why = cost.why;
  // A fresh file each time, as a job has: rewriting one would skip the
  // cost of its new pages.
  std::unique_ptr<photo::PrivateFile> bmp;
  const auto timed = [](auto &&step) {
    const double cpu = process_cpu_ms();
    const Clock::time_point start = Clock::now();
    if (!step()) return Timing{};
    return Timing{ms_since(start), process_cpu_ms() - cpu};
  };
  const auto decode = [&](bool into_bmp) {
    if (into_bmp) {
      bmp = std::make_unique<photo::PrivateFile>();
      if (!bmp->open("bench-in.bmp", why)) return Timing{};
    }
    jobs::UniqueFd input(open(jpg.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input) {
      why = jpg + ": cannot open";
      return Timing{};
    }
    photo::DecodedPhoto decoded;
    photo::ErrorKind kind = photo::ErrorKind::none;
    double staging = 0;
    return timed([&] {
      return photo::decode(input.get(), photo::Limits{}, type, decoded, kind, why) &&
             (into_bmp ? photo::write_plugin_bmp(decoded, bmp->fd(), staging, kind, why)
                       : photo::decode_only(decoded, why));
    });
  };
  const auto encode = [&](const photo::RgbPixels *from_memory) {
    photo::PrivateFile out;
    photo::Bmp24Rows rows;
    double staging = 0;
    if (!out.open("bench-out.jpg", why) || !rows.open(bmp->fd(), why)) return Timing{};
    return timed([&] {
      if (from_memory != nullptr)
        return photo::encode(from_memory->view(), nullptr, "jpg", photo::EncodeOptions{}, out.fd(), why);
      const bool ok = photo::encode_bmp(rows, nullptr, "jpg", photo::EncodeOptions{}, out.fd(), staging, why);
      bmp.reset(); // a job frees its BMPs too
      return ok;
    });
  };
  photo::RgbPixels pixels;
  for (int r = 0; r < runs; ++r) {
    // Interleaved, so a slow moment of the machine falls on both sides.
    Timing t[4];
    t[0] = decode(false);
    t[1] = decode(true);
    if (t[1].wall >= 0 && !pixels.data && !photo::read_bmp24(bmp->fd(), pixels, why)) return cost;
    t[2] = encode(&pixels);
    t[3] = encode(nullptr);
    for (const Timing &one : t)
      if (one.wall < 0) {
        StagingCost failed; // no timings: added_wall() says it failed
        failed.why = why.empty() ? "a step failed" : why;
        return failed;
      }
    keep_least(cost.decode_alone, t[0]);
    keep_least(cost.decode_into_bmp, t[1]);
    keep_least(cost.encode_from_memory, t[2]);
    keep_least(cost.encode_from_bmp, t[3]);
  }
#else
  (void)jpg;
  (void)runs;
  cost.why = "built without the photo path";
#endif
  return cost;
}

// The kernel's choice of huge pages for shared memory, which the private
// BMPs are: with 4 KiB pages ("never", the usual default) writing, reading
// and freeing them costs several times what it does with huge ones.
std::string shared_memory_huge_pages() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/shmem_enabled");
  std::string line;
  if (!std::getline(in, line)) return "unknown";
  const size_t open = line.find('['), close = line.find(']', open);
  return open == std::string::npos || close == std::string::npos ? "unknown" : line.substr(open + 1, close - open - 1);
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
  const double added = staging.added_wall();
  if (added < 0) std::fprintf(stderr, "tavrin_bench: cannot time the private BMPs: %s\n", staging.why.c_str());
  std::printf("%-24s %8s %7s | %8s %8s %8s | %8s %7s | %8s %7s | %5s\n", "", "ms", "x copy", "decode", "plug-in",
              "encode", "in BMPs", "share", "adds", "share", "met");
  std::printf("%-24s %8.1f\n", "vips copy in.jpg out.jpg", copy * 1000);
  bool all_met = copy > 0;
  double quickest_total = -1;
  for (const PluginInfo &plugin : kPlugins) {
    if (!fs::exists(plugin_path(bin, plugin))) continue;
    const std::string out = dir + "/" + plugin.command + ".jpg";
    const TurnTimes turns = best_in_turns(o.runs, {tavrin, plugin.command, jpg, out}, {o.vips, "copy", jpg, dir + "/copy.jpg"});
    const double s = turns.first, copy_beside = turns.second;
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
    const bool met = s > 0 && copy_beside > 0 && s / copy_beside <= kPathTarget && added_share < kStagingTarget;
    all_met = all_met && met;
    if (quickest_total < 0 || r.total_ms < quickest_total) quickest_total = r.total_ms;
    char label[64];
    std::snprintf(label, sizeof label, "tavrin %s", plugin.command);
    std::printf("%-24s %8.1f %7.2f | %8.1f %8.1f %8.1f | %8.1f %6.1f%% | %8.1f %6.1f%% | %5s\n", label, s * 1000,
                copy_beside > 0 ? s / copy_beside : 0, r.decode_ms, r.plugin_ms, r.encode_ms, r.staging_ms, 100 * share, added,
                100 * added_share, met ? "yes" : "NO");
  }
  std::printf("\ntargets: within %.1fx of the copy, and the private BMPs adding under %.0f%% to the\n"
              "call's wall clock. x copy: against as many runs of vips copy taken in turns\n"
              "with the effect's, the quickest of each counting. decode, plug-in, encode: the\n"
              "quickest of as many in-process run_jobs, in ms (decode and encode include the\n"
              "BMPs). in BMPs: time in the calls that write and read them, which libvips\n"
              "makes beside its decoder and encoder. adds: what the BMPs add to decoding and\n"
              "encoding, against decoding alone and encoding from memory, quickest of as\n"
              "many: decoding %.1f ms alone, %.1f into the BMP; encoding %.1f ms from memory,\n"
              "%.1f from the BMP (and freeing it). In CPU time of all threads the BMPs add\n"
              "%.1f ms (%.1f%% of the quickest job's wall clock): what they take from other\n"
              "jobs when every core is busy.\n",
              kPathTarget, 100 * kStagingTarget, staging.decode_alone.wall, staging.decode_into_bmp.wall,
              staging.encode_from_memory.wall, staging.encode_from_bmp.wall, staging.added_cpu(),
              quickest_total > 0 ? 100 * staging.added_cpu() / quickest_total : 0);
  std::printf("Huge pages for shared memory, the BMPs' kind: %s\n"
              "(/sys/kernel/mm/transparent_hugepage/shmem_enabled).\n",
              shared_memory_huge_pages().c_str());
  if (o.keep_dir.empty()) fs::remove_all(dir);
  return all_met ? 0 : 1;
}

} // namespace tavrin::bench

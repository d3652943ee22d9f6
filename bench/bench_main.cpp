// tavrin_bench: times every built plug-in on generated photos of several sizes
// through its real export and compares it with copying the same file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "batch_bench.h"
#include "photo_bench.h"
#include "face_picture.h"
#include "file_copy.h"
#include "host_run.h"
#include "measure.h"
#include "targets.h"
#if defined(TAVRIN_BENCH_PLAIN)
#include "plain_sunglasses.h"
#endif
#include "plugins/registry.h"
#include "plugins/library.h"
#include "demo/portrait.h"
#include "plugins/utf16.h"

namespace {

using tavrin::bench::Measurement;

struct Options {
  std::vector<double> sizes{1, 4, 16, 24}; // megapixels
  std::vector<std::string> plugins;        // empty: every built one
  int runs = 3;
  bool plain = false;
  bool targets = false;
  double plain_limit = 1; // largest size in megapixels the plain search is run on
  double face_share = 0.25; // face width / picture width
  std::string plugin_dir;
  std::string keep_dir;
};


void print_usage(std::FILE *to) {
  std::fprintf(to,
               "Usage: tavrin_bench [OPTIONS]\n"
               "\n"
               "Generates photos with a face a quarter of the picture wide, runs each\n"
               "plug-in's export on them in a child process and prints the best time of\n"
               "several runs, the time per megapixel, the peak memory per pixel and the\n"
               "ratio to copying the same file.\n"
               "\n"
               "  --sizes LIST       megapixels, comma-separated (default 1,4,16,24)\n"
               "  --plugins LIST     sunglasses,mustache,hat,beard (default: all built)\n"
               "  --runs N           runs per measurement, best one counts (default 3)\n"
               "  --plain            also time the plain eye search of the sunglasses\n"
               "  --plain-limit MP   largest size for --plain (default 1; it grows with\n"
               "                     the fifth power of the face width)\n"
               "  --face SHARE       face width as a share of the picture width (default 0.25)\n"
               "  --plugin-dir DIR   where the plug-ins are (default: beside this program)\n"
               "  --keep DIR         write pictures, outputs and logs to DIR and keep them\n"
               "  --targets          instead: every plug-in against the copy floor at\n"
               "                     4096x4096, each call in a host process of its own, and\n"
               "                     the sunglasses against the plain search at 1 MP\n"
               "                     (1152x864 and 1024x1024)\n"
               "\n"
               "tavrin_bench --batch [...] times the batch mode instead (--batch --help).\n"
               "tavrin_bench --photo [...] times the photo path on a JPEG (--photo --help).\n");
}

std::vector<std::string> split(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return parts;
}

bool parse_options(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string &into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help") {
      print_usage(stdout);
      std::exit(0);
    } else if (arg == "--plain") {
      o.plain = true;
    } else if (arg == "--targets") {
      o.targets = true;
    } else if (arg == "--sizes" && value(v)) {
      o.sizes.clear();
      for (const std::string &s : split(v)) {
        const double mp = std::atof(s.c_str());
        if (!(mp > 0 && mp <= 400)) return false;
        o.sizes.push_back(mp);
      }
      if (o.sizes.empty()) return false;
    } else if (arg == "--plugins" && value(v)) {
      o.plugins = split(v);
      for (const std::string &p : o.plugins)
        if (tavrin::find_plugin(p) == nullptr) return false;
    } else if (arg == "--runs" && value(v)) {
      o.runs = std::atoi(v.c_str());
      if (o.runs < 1 || o.runs > 100) return false;
    } else if (arg == "--plain-limit" && value(v)) {
      o.plain_limit = std::atof(v.c_str());
    } else if (arg == "--face" && value(v)) {
      o.face_share = std::atof(v.c_str());
      if (!(o.face_share >= 0.01 && o.face_share <= 1)) return false;
    } else if (arg == "--plugin-dir" && value(v)) {
      o.plugin_dir = v;
    } else if (arg == "--keep" && value(v)) {
      o.keep_dir = v;
    } else {
      return false;
    }
  }
  return true;
}

// A 4:3 picture of about `mp` megapixels, width a multiple of 16.
void picture_size(double mp, int32_t &width, int32_t &height) {
  const double w = std::sqrt(mp * 1e6 * 4.0 / 3.0);
  width = std::max<int32_t>(16, static_cast<int32_t>(std::lround(w / 16.0)) * 16);
  height = width / 4 * 3;
}

struct Loaded {
  const tavrin::PluginInfo *info;
  tavrin::LoadedPlugin plugin;
};

// Best of `runs`; the first run keeps its log in `log_path`.
Measurement best_of(int runs, const std::function<int32_t()> &work, const std::string &log_path) {
  Measurement best;
  for (int r = 0; r < runs; ++r) {
    Measurement m = tavrin::bench::measure_in_child(work, r == 0 ? log_path : std::string());
    if (!m.completed) return m;
    if (r == 0 || m.ms < best.ms) best.ms = m.ms;
    best.peak_bytes = std::max(best.peak_bytes, m.peak_bytes);
    best.completed = true;
    best.status = m.status;
  }
  return best;
}

std::string read_text(const std::string &path) {
  std::string text;
  if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
    std::fclose(f);
  }
  return text;
}

void print_row(const char *size, const char *picture, const char *what, const Measurement &m,
               double pixels, double copy_ms, const char *face, const std::string &note) {
  if (!m.completed) {
    std::printf("%-6s %-10s %-12s %s\n", size, picture, what, "did not complete");
    return;
  }
  std::printf("%-6s %-10s %-12s %10.1f %8.2f %7.2f %8.2f  %-4s %s\n", size, picture, what, m.ms,
              m.ms / (pixels / 1e6), static_cast<double>(m.peak_bytes) / pixels, m.ms / copy_ms,
              face, note.c_str());
  std::fflush(stdout);
}

// The sunglasses pipeline with the plain eye search, once (it is slow), and
// its speed-up: plain time / time of the plug-in.
void run_plain(const Options &o, double mp, const std::string &input, const std::string &output,
               const char *size, const char *picture, double pixels, double copy_ms, double fast_ms,
               uint64_t fast_output) {
#if defined(TAVRIN_BENCH_PLAIN)
  if (mp > o.plain_limit) {
    std::printf("%-6s %-10s %-12s skipped above %gMP: it grows with the fifth power of the face width\n",
                size, picture, "plain eyes", o.plain_limit);
    return;
  }
  const Measurement m = tavrin::bench::measure_in_child(
      [&] { return tavrin::bench::run_plain_sunglasses(input.c_str(), output.c_str()); }, "");
  const uint64_t fingerprint = tavrin::bench::file_fingerprint(output);
  char note[96];
  std::snprintf(note, sizeof note, "%016llx %s; sunglasses %.0fx faster", static_cast<unsigned long long>(fingerprint),
                fingerprint == fast_output ? "same output" : "OUTPUT DIFFERS", fast_ms > 0 ? m.ms / fast_ms : 0.0);
  print_row(size, picture, "plain eyes", m, pixels, copy_ms, "", note);
  if (o.keep_dir.empty()) std::filesystem::remove(output);
  // The eye-pair search alone, both ways, in a child of its own.
  struct Times {
    double plain, fast;
  };
  int fds[2];
  if (pipe(fds) != 0) return;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    Times t{0, 0};
    const bool same = tavrin::bench::time_eye_searches(input.c_str(), o.runs, t.plain, t.fast);
    if (!same) t.plain = -1;
    _exit(write(fds[1], &t, sizeof t) == sizeof t ? 0 : 1);
  }
  close(fds[1]);
  Times t{0, 0};
  const bool got = child > 0 && read(fds[0], &t, sizeof t) == sizeof t;
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  if (!got || t.plain < 0) {
    std::printf("%-6s %-10s %-12s PAIRS DIFFER or the search could not run\n", size, picture, "eye search");
    return;
  }
  std::printf("%-6s %-10s %-12s plain %.1f ms, bounded %.2f ms: %.0fx faster, same pair\n", size, picture,
              "eye search", t.plain, t.fast, t.plain / t.fast);
#else
  (void)mp, (void)input, (void)output, (void)pixels, (void)copy_ms, (void)fast_ms, (void)fast_output;
  std::printf("%-6s %-10s %-12s not built: the sunglasses plug-in is missing\n", size, picture, "plain eyes");
#endif
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::string(argv[1]) == "--batch") return tavrin::bench::run_batch_bench(argc - 2, argv + 2);
  if (argc > 1 && std::string(argv[1]) == "--photo") return tavrin::bench::run_photo_bench(argc - 2, argv + 2);
  Options o;
  if (!parse_options(argc, argv, o)) {
    print_usage(stderr);
    return 2;
  }
  const std::string plugin_dir = o.plugin_dir.empty() ? tavrin::program_dir() : o.plugin_dir;

  std::vector<Loaded> loaded;
  for (const tavrin::PluginInfo &info : tavrin::kPlugins) {
    if (!o.plugins.empty() &&
        std::find(o.plugins.begin(), o.plugins.end(), info.command) == o.plugins.end())
      continue;
    Loaded l{&info, {}};
    std::string error;
    if (!l.plugin.load(tavrin::plugin_path(plugin_dir, info), info.symbol, error)) {
      std::printf("(%s not built or not loadable: %s)\n", info.command, error.c_str());
      continue;
    }
    loaded.push_back(std::move(l));
  }

  std::string dir = o.keep_dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/tavrin-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::fprintf(stderr, "tavrin_bench: cannot make a temporary folder\n");
      return 1;
    }
    dir = pattern;
  } else {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
  }

  if (o.targets) {
    tavrin::bench::TargetRun run;
    for (const Loaded &l : loaded) run.plugins.push_back(l.info);
    run.plugin_dir = plugin_dir;
    run.bench_dir = tavrin::program_dir();
    run.work_dir = dir;
    run.keep = !o.keep_dir.empty();
    run.runs = o.runs;
    const bool ok = tavrin::bench::run_targets(run);
    if (o.keep_dir.empty()) std::filesystem::remove(dir);
    return ok ? 0 : 1;
  }

  std::printf("best of %d runs; bytes/px = peak resident memory above the start / pixels;\n"
              "x copy = time / time to read and write the same file; face = face found;\n"
              "host copy = the same copy as a plug-in called in a host process of its own\n\n",
              o.runs);
  std::printf("%-6s %-10s %-12s %10s %8s %7s %8s  %-4s %s\n", "size", "picture", "run", "ms",
              "ms/MP", "B/px", "x copy", "face", "output FNV-1a");

  for (double mp : o.sizes) {
    int32_t width = 0, height = 0;
    picture_size(mp, width, height);
    char size_text[16], picture_text[24], stem[32];
    std::snprintf(size_text, sizeof size_text, "%gMP", mp);
    std::snprintf(picture_text, sizeof picture_text, "%dx%d", width, height);
    std::snprintf(stem, sizeof stem, "face-%dx%d", width, height);
    const double pixels = static_cast<double>(width) * height;
    const std::string input = dir + "/" + stem + ".bmp";
    if (!tavrin::write_picture(input.c_str(), tavrin::bench::make_face_picture(width, height, o.face_share))) {
      std::fprintf(stderr, "tavrin_bench: cannot write %s\n", input.c_str());
      return 1;
    }

    const std::string copy_out = dir + "/" + stem + "-copy.bmp";
    const Measurement copy = best_of(
        o.runs, [&] { return tavrin::bench::copy_file(input.c_str(), copy_out.c_str()); }, "");
    if (!copy.completed || copy.status != 999) {
      std::fprintf(stderr, "tavrin_bench: cannot copy %s\n", input.c_str());
      return 1;
    }
    print_row(size_text, picture_text, "file copy", copy, pixels, copy.ms, "", "");
    const std::string bench_dir = tavrin::program_dir();
    const Measurement host_copy = tavrin::bench::best_through_host(
        o.runs, {bench_dir + "/tavrin_bench_host", bench_dir + "/tavrin_bench_copy.so", "BenchCopy"}, input,
        copy_out, "");
    print_row(size_text, picture_text, "host copy", host_copy, pixels, copy.ms, "", "");
    std::filesystem::remove(copy_out);

    const std::u16string in16 = tavrin::argument_to_utf16(input);
    double sunglasses_ms = 0;
    uint64_t sunglasses_output = 0;
    for (Loaded &l : loaded) {
      const std::string out = dir + "/" + stem + "-" + l.info->command + ".bmp";
      const std::string log = dir + "/" + stem + "-" + l.info->command + ".log";
      const std::u16string out16 = tavrin::argument_to_utf16(out);
      const tavrin::OverlayExport entry = l.plugin.entry();
      const Measurement m =
          best_of(o.runs, [&] { return entry(in16.c_str(), out16.c_str()); }, log);
      const bool found = read_text(log).find(l.info->face_line) != std::string::npos;
      const uint64_t fingerprint = tavrin::bench::file_fingerprint(out);
      char note[64];
      std::snprintf(note, sizeof note, "%016llx%s", static_cast<unsigned long long>(fingerprint),
                    m.status == 999 ? "" : " (status not 999)");
      if (std::string(l.info->command) == "sunglasses") {
        sunglasses_ms = m.ms;
        sunglasses_output = fingerprint;
      }
      print_row(size_text, picture_text, l.info->command, m, pixels, copy.ms, found ? "yes" : "NO",
                note);
      if (o.keep_dir.empty()) {
        std::filesystem::remove(out);
        std::filesystem::remove(log);
      }
    }
    if (o.plain) run_plain(o, mp, input, dir + "/" + stem + "-plain.bmp", size_text, picture_text,
                           pixels, copy.ms, sunglasses_ms, sunglasses_output);
    if (o.keep_dir.empty()) std::filesystem::remove(input);
  }
  if (o.keep_dir.empty()) std::filesystem::remove(dir);
  return 0;
}

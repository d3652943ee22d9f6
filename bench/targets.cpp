#include "targets.h"

#include <cstdio>
#include <filesystem>

#include "demo/portrait.h"
#include "face_picture.h"
#include "file_handle.h"
#include "host_run.h"
#include "measure.h"
#include "plugins/library.h"
#include "plugins/registry.h"
#include "plugins/utf16.h"
#if defined(TAVRIN_BENCH_PLAIN)
#include "plain_sunglasses.h"
#endif

namespace tavrin::bench {

namespace {

constexpr int32_t kTargetSide = 4096; // 16.8 MP
constexpr double kTimeTarget = 2.0;   // x copy
constexpr double kMemoryTarget = 8.0; // bytes per pixel
constexpr double kPlainTarget = 1000; // x faster than the plain search

HostCall copy_call(const TargetRun &run, const char *symbol = "BenchCopy") {
  return {run.bench_dir + "/tavrin_bench_host", run.bench_dir + "/tavrin_bench_copy.so", symbol};
}

HostCall plugin_call(const TargetRun &run, const PluginInfo &info) {
  return {run.bench_dir + "/tavrin_bench_host", plugin_path(run.plugin_dir, info), info.symbol};
}

const char *verdict(bool met) { return met ? "yes" : "NO"; }

std::string read_text(const std::string &path) {
  std::string text;
  if (FileHandle f = open_file(path.c_str(), "rb")) {
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f.get())) > 0) text.append(block, n);
  }
  return text;
}

bool write_face(const std::string &path, int32_t side) {
  if (write_picture(path.c_str(), make_face_picture(side, side))) return true;
  std::fprintf(stderr, "tavrin_bench: cannot write %s\n", path.c_str());
  return false;
}

void remove_unless_kept(const TargetRun &run, const std::string &path) {
  if (!run.keep) std::filesystem::remove(path);
}

// The sunglasses' whole pipeline with the plain eye search against the
// plug-in on a w x h picture with a face `face_share` of its width, both in
// a fork of this process (no start-up on either side), and the plug-in and
// the copy through the host as well.
bool plain_speedup(const TargetRun &run, int32_t w, int32_t h, double face_share) {
  char size[48];
  std::snprintf(size, sizeof size, "%dx%d face %.2f", w, h, face_share);
  char file[48];
  std::snprintf(file, sizeof file, "%dx%d-%.0f", w, h, face_share * 100);
  const std::string stem = run.work_dir + "/target-" + file;
  const std::string input = stem + ".bmp";
  if (!write_picture(input.c_str(), make_face_picture(w, h, face_share))) {
    std::fprintf(stderr, "tavrin_bench: cannot write %s\n", input.c_str());
    return false;
  }
  const PluginInfo &info = *find_plugin("sunglasses");
  const Measurement copy = best_through_host(run.runs, copy_call(run), input, stem + "-copy.bmp", "");
  const std::string host_out = stem + "-host.bmp", host_log = stem + "-host.log";
  const Measurement host = best_through_host(run.runs, plugin_call(run, info), input, host_out, host_log);
  std::string face = read_text(host_log);
  const size_t at = face.find("Face region: ");
  face = at == std::string::npos ? "?" : face.substr(at + 13, face.find('\n', at) - at - 13);
  std::printf("sunglasses %s (face region %s): through the host %.1f ms, copy through the host %.1f ms\n", size,
              face.c_str(), host.ms, copy.ms);
#if defined(TAVRIN_BENCH_PLAIN)
  LoadedPlugin plugin;
  std::string error;
  if (!plugin.load(plugin_path(run.plugin_dir, info), info.symbol, error)) {
    std::printf("sunglasses %s: plug-in not loadable (%s)\n", size, error.c_str());
    return true;
  }
  const std::string fast_out = stem + "-sunglasses.bmp", plain_out = stem + "-plain.bmp";
  const std::u16string in16 = argument_to_utf16(input), out16 = argument_to_utf16(fast_out);
  const OverlayExport entry = plugin.entry();
  Measurement fast;
  // Every call writes a new file, as the plain search's one call does: an
  // earlier run's output would first have to be cut away.
  for (int r = 0; r < run.runs; ++r) {
    std::filesystem::remove(fast_out);
    const Measurement m = measure_in_child([&] { return entry(in16.c_str(), out16.c_str()); }, "");
    if (!m.completed) return true;
    if (r == 0 || m.ms < fast.ms) fast = m;
  }
  std::filesystem::remove(plain_out);
  const Measurement plain = measure_in_child([&] { return run_plain_sunglasses(input.c_str(), plain_out.c_str()); }, "");
  const uint64_t fingerprint = file_fingerprint(fast_out);
  if (!plain.completed || fingerprint == 0 || fingerprint != file_fingerprint(plain_out) ||
      fingerprint != file_fingerprint(host_out)) {
    std::printf("sunglasses %s: the plain search %s\n", size, plain.completed ? "wrote OTHER BYTES" : "did not complete");
    return true;
  }
  const double in_process = plain.ms / fast.ms;
  std::printf("sunglasses %s: plain search %.0f ms, plug-in %.1f ms, same output: %.0fx faster "
              "(%.0fx against the call through the host); at least %.0fx: %s\n",
              size, plain.ms, fast.ms, in_process, plain.ms / host.ms, kPlainTarget,
              verdict(in_process >= kPlainTarget));
  for (const std::string &p : {fast_out, plain_out}) remove_unless_kept(run, p);
#else
  std::printf("sunglasses %s: the plain search is not built\n", size);
#endif
  for (const std::string &p : {input, stem + "-copy.bmp", host_out, host_log}) remove_unless_kept(run, p);
  return true;
}

// Every plug-in on a 16.8 MP picture without skin, for its memory.
bool skinless_rows(const TargetRun &run, const Measurement &copy, const Measurement &huge, bool flat) {
  const double pixels = double{kTargetSide} * kTargetSide;
  const std::string input = run.work_dir + "/target-4096-skinless.bmp";
  if (!write_picture(input.c_str(), make_skinless_picture(kTargetSide, kTargetSide, flat))) {
    std::fprintf(stderr, "tavrin_bench: cannot write %s\n", input.c_str());
    return false;
  }
  std::printf("\nthe same without a skin-coloured pixel (%s):\n", flat ? "flat grey" : "grey noise");
  for (const PluginInfo *info : run.plugins) {
    const std::string out = run.work_dir + "/target-4096-skinless-" + info->command + ".bmp";
    const Measurement m = best_through_host(run.runs, plugin_call(run, *info), input, out, "");
    remove_unless_kept(run, out);
    if (!m.completed) {
      std::printf("%-12s did not complete\n", info->command);
      continue;
    }
    const double bytes = static_cast<double>(m.peak_bytes) / pixels;
    std::printf("%-12s %9.1f %9.2f %7.2f %7.2f %7.2f  %-8s %s\n", info->command, m.ms, m.ms / (pixels / 1e6),
                m.ms / copy.ms, m.ms / huge.ms, bytes, "", verdict(bytes <= kMemoryTarget));
    std::fflush(stdout);
  }
  remove_unless_kept(run, input);
  return true;
}

} // namespace

bool run_targets(const TargetRun &run) {
  const std::string input = run.work_dir + "/target-4096.bmp";
  if (!write_face(input, kTargetSide)) return false;
  const double pixels = double{kTargetSide} * kTargetSide;
  std::printf("Targets: 4096x4096 (16.8 MP), each call in a host process of its own (start-up and\n"
              "loading count on both sides), best of %d; B/px = peak resident memory above the size\n"
              "before the call / pixels; x copy = time / time of the copy through the same host (a\n"
              "fresh malloc buffer); x huge = the same against a copy through a huge-page buffer\n\n",
              run.runs);
  std::printf("%-12s %9s %9s %7s %7s %7s  %-8s %s\n", "run", "ms", "ms/MP", "x copy", "x huge", "B/px", "<=2x",
              "<=8 B/px");

  const std::string copy_out = run.work_dir + "/target-4096-copy.bmp";
  const Measurement copy = best_through_host(run.runs, copy_call(run), input, copy_out, "");
  const Measurement huge = best_through_host(run.runs, copy_call(run, "BenchCopyHugePages"), input, copy_out, "");
  remove_unless_kept(run, copy_out);
  if (!copy.completed || copy.status != 999 || !huge.completed || huge.status != 999) {
    std::fprintf(stderr, "tavrin_bench: the copy through the host failed\n");
    return false;
  }
  std::printf("%-12s %9.1f %9.2f %7.2f %7.2f %7.2f\n", "host copy", copy.ms, copy.ms / (pixels / 1e6), 1.0,
              copy.ms / huge.ms, static_cast<double>(copy.peak_bytes) / pixels);
  std::printf("%-12s %9.1f %9.2f %7.2f %7.2f %7.2f\n", "huge copy", huge.ms, huge.ms / (pixels / 1e6),
              huge.ms / copy.ms, 1.0, static_cast<double>(huge.peak_bytes) / pixels);
  std::fflush(stdout);

  for (const PluginInfo *info : run.plugins) {
    const std::string out = run.work_dir + "/target-4096-" + info->command + ".bmp";
    const Measurement m = best_through_host(run.runs, plugin_call(run, *info), input, out, "");
    remove_unless_kept(run, out);
    if (!m.completed || m.status != 999) {
      std::printf("%-12s did not complete (status %d)\n", info->command, m.status);
      continue;
    }
    const double ratio = m.ms / copy.ms, bytes = static_cast<double>(m.peak_bytes) / pixels;
    std::printf("%-12s %9.1f %9.2f %7.2f %7.2f %7.2f  %-8s %s\n", info->command, m.ms, m.ms / (pixels / 1e6), ratio,
                m.ms / huge.ms, bytes, verdict(ratio <= kTimeTarget), verdict(bytes <= kMemoryTarget));
    std::fflush(stdout);
  }
  remove_unless_kept(run, input);

  // Memory at its worst: no skin anywhere, so the sunglasses search most of
  // the picture; on a flat one no window scores better than another.
  for (const bool flat : {false, true})
    if (!skinless_rows(run, copy, huge, flat)) return false;

  bool with_sunglasses = false;
  for (const PluginInfo *info : run.plugins) with_sunglasses |= std::string(info->command) == "sunglasses";
  if (!run.plain || !with_sunglasses) return true;
  // The bench's 1 MP picture (4:3), a square one of the same megapixel, and
  // the square with a larger face (a face region about 570 px wide), where
  // the plain search costs about three times as much and the plug-in little
  // more.
  struct Face {
    int32_t w, h;
    double share;
  };
  for (const Face &f : {Face{1152, 864, 0.25}, Face{1024, 1024, 0.25}, Face{1024, 1024, 0.38}}) {
    std::printf("\n");
    if (!plain_speedup(run, f.w, f.h, f.share)) return false;
  }
  return true;
}

} // namespace tavrin::bench

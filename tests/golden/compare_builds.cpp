// compare_plugin_builds OLD_BIN NEW_BIN: runs every plug-in of both builds on
// the same few hundred pictures (the fuzz seeds and regressions, the sample
// portrait cut and mirrored, generated photos of many sizes in every layout)
// and reports each call whose status, console or output file differs. For
// checking that a change to a plug-in keeps every output byte; exit status 1
// when anything differs.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "demo/portrait.h"
#include "face_picture.h"
#include "hostile_pictures.h"
#include "plugin_runner.h"
#include "seed_pictures.h"
#include "tavrin/plugin_table.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

struct Sample {
  std::string name;
  std::vector<uint8_t> file;
};

TestPicture test_picture(const Picture &p) {
  return make_picture(p.width, p.height, [&p](int x, int y) {
    const uint8_t *px = &p.bgr[(static_cast<size_t>(y) * p.width + x) * 3];
    return Rgb{px[2], px[1], px[0]};
  });
}

std::vector<Sample> samples() {
  std::vector<Sample> all;
  for (fuzz::SeedFile &seed : fuzz::make_seed_files()) all.push_back({"seed/" + seed.name, std::move(seed.bytes)});
  for (const auto &entry : std::filesystem::directory_iterator(TAVRIN_REGRESSION_DIR))
    all.push_back({"regression/" + entry.path().filename().string(), read_file(entry.path().string())});

  std::vector<std::pair<std::string, Picture>> pictures;
  const Picture portrait = make_portrait();
  pictures.push_back({"portrait", portrait});
  pictures.push_back({"portrait-mirrored", mirrored(portrait)});
  for (int d = 2; d <= 8; ++d) pictures.push_back({"portrait/" + std::to_string(d), shrunk_portrait(d)});
  pictures.push_back({"portrait-face-only", cropped(portrait, 100, 120, 280, 320)});
  pictures.push_back({"portrait-top-half", cropped(portrait, 0, 0, 480, 300)});
  for (int w : {33, 64, 97, 160, 203, 256, 320, 401, 640})
    for (int h : {41, 120, 240, 333})
      for (double share : {0.25, 0.5})
        pictures.push_back({"photo-" + std::to_string(w) + "x" + std::to_string(h) + "-" +
                                std::to_string(static_cast<int>(share * 100)),
                            bench::make_face_picture(w, h, share)});
  for (int i = 0; i < 24; ++i)
    pictures.push_back({"face-file-" + std::to_string(i), Picture{}});

  for (auto &[name, picture] : pictures) {
    if (name.rfind("face-file-", 0) == 0) {
      const int i = std::stoi(name.substr(10));
      all.push_back({name, fuzz::make_face_file(20 + 13 * i, 24 + 17 * i)});
      continue;
    }
    const TestPicture p = test_picture(picture);
    all.push_back({name, encode_bmp(p)});
    all.push_back({name + "-top-down", encode_bmp(p, {.top_down = true})});
    all.push_back({name + "-32bit", encode_bmp(p, {.bits = 32})});
    all.push_back({name + "-header-124", encode_bmp(p, {.info_header_size = 124, .padding_byte = 0x5A})});
  }
  return all;
}

struct Answer {
  RunResult run;
  bool written = false;
  std::vector<uint8_t> output;
};

Answer call(const std::string &bin, const PluginInfo &plugin, const std::string &in, const std::string &out) {
  std::filesystem::remove(out);
  Answer a;
  a.run = run_export(bin + "/" + plugin.library + ".so", plugin.symbol, in, out);
  a.written = file_exists(out);
  if (a.written) a.output = read_file(out);
  return a;
}

} // namespace
} // namespace tavrin::test

int main(int argc, char **argv) {
  using namespace tavrin::test;
  if (argc != 3) {
    std::fprintf(stderr, "usage: compare_plugin_builds OLD_BIN NEW_BIN\n");
    return 2;
  }
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
  const std::vector<Sample> all = samples();
  int calls = 0, differing = 0, written = 0;
  for (const Sample &sample : all) {
    write_file(in, sample.file);
    for (const tavrin::PluginInfo &plugin : tavrin::kPlugins) {
      const Answer before = call(argv[1], plugin, in, out), after = call(argv[2], plugin, in, out);
      ++calls;
      written += after.written;
      const bool same = before.run.completed == after.run.completed && before.run.status == after.run.status &&
                        before.run.out == after.run.out && before.run.err == after.run.err &&
                        before.written == after.written && before.output == after.output;
      if (!same) {
        ++differing;
        std::printf("DIFFERS: %s on %s (status %d -> %d)\n", plugin.command, sample.name.c_str(),
                    before.run.status, after.run.status);
      }
    }
  }
  std::printf("%zu pictures, %d calls, %d output files, %d differing\n", all.size(), calls, written, differing);
  return differing == 0 ? 0 : 1;
}

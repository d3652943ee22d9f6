// Every built plug-in on a handful of fixed pictures, its whole answer pinned:
// the status, both console streams and every byte of the output file. Any
// change of an output byte fails here and names the plug-in. To hold another
// build to the same values, run with TAVRIN_PLUGIN_DIR set to its bin folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "demo/portrait.h"
#include "face_picture.h"
#include "plugin_runner.h"
#include "tavrin/plugin_table.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

struct Sample {
  const char *name;
  std::vector<uint8_t> file;
};

// What a call answered, reduced to what is pinned.
struct Answer {
  int32_t status;
  uint64_t console; // standard output, a zero byte, standard error
  uint64_t output;  // the output file, 0 when there is none
};

struct Golden {
  const char *command;
  const char *sample;
  Answer answer;
};

// Taken from the plug-ins built from commit fd75c4b. Paths in the console
// read <in> and <out>.
constexpr Golden kGolden[] = {
    {"sunglasses", "portrait", {999, 0x9067d5cf6e43319cu, 0xef21e36828e771ecu}},
    {"sunglasses", "photo-320x240", {999, 0x8d605f8702a48b5cu, 0x65e30a1df6ea228cu}},
    {"sunglasses", "photo-203x251-top-down", {999, 0xa93afebb7e295579u, 0x2a4dab2d890462b8u}},
    {"sunglasses", "photo-200x160-32bit", {1, 0xdfe9210f14402e1fu, 0x0000000000000000u}},
    {"sunglasses", "no-face-97x61", {999, 0x4f0f4fb328d127e3u, 0xe79f34dd0a1b6dd4u}},
    {"mustache", "portrait", {999, 0xf1c77a9f6e890f1cu, 0x2e0618cd5fb26b0au}},
    {"mustache", "photo-320x240", {999, 0xf4e58d8c553e3ee6u, 0x7b9919e1b27d65acu}},
    {"mustache", "photo-203x251-top-down", {999, 0x8184ae63e745a08cu, 0xc8d7a5be65562ddfu}},
    {"mustache", "photo-200x160-32bit", {1, 0xe0a24f9aedb6e31au, 0x0000000000000000u}},
    {"mustache", "no-face-97x61", {999, 0x8a3a91a3ebc595d4u, 0x885cdfe30885e127u}},
    {"hat", "portrait", {999, 0xd2cbeeb585bd794au, 0x0191890698047350u}},
    {"hat", "photo-320x240", {999, 0xf1bd0fd5afda4ed5u, 0x51311e2638dd2612u}},
    {"hat", "photo-203x251-top-down", {999, 0x94c36d46b86f502au, 0xdc9d68f2ded0cdd4u}},
    {"hat", "photo-200x160-32bit", {999, 0x881c10638dd43db3u, 0x9d5cfee9c0198ea7u}},
    {"hat", "no-face-97x61", {999, 0xc6a1729eb47809d9u, 0xcd18e0c5f7f6e5dfu}},
    {"beard", "portrait", {999, 0x95b4f1f08df4196au, 0xa30d60a7b1a88a13u}},
    {"beard", "photo-320x240", {999, 0xeba9cd7e3d0da013u, 0x2f40e195a81dac1bu}},
    {"beard", "photo-203x251-top-down", {999, 0x61188306cdfdf338u, 0xd77e1e9b4c617509u}},
    {"beard", "photo-200x160-32bit", {1, 0xcfc21cf772f84d09u, 0x0000000000000000u}},
    {"beard", "no-face-97x61", {999, 0xdfce5f6af011519fu, 0xeb3189f519c654dcu}},
};

uint64_t fnv1a(const std::string &bytes, uint64_t h = 0xcbf29ce484222325u) {
  for (unsigned char b : bytes) h = (h ^ b) * 0x100000001b3u;
  return h;
}

TestPicture test_picture(const Picture &p) {
  return make_picture(p.width, p.height, [&p](int x, int y) {
    const uint8_t *px = &p.bgr[(static_cast<size_t>(y) * p.width + x) * 3];
    return Rgb{px[2], px[1], px[0]};
  });
}

TestPicture photo(int32_t width, int32_t height) {
  return test_picture(bench::make_face_picture(width, height));
}

std::vector<Sample> samples() {
  const TestPicture no_face = make_picture(97, 61, [](int x, int y) {
    return Rgb{static_cast<uint8_t>(30 + x), static_cast<uint8_t>(60 + 2 * y), 200};
  });
  return {
      {"portrait", encode_bmp(test_picture(make_portrait()))},
      {"photo-320x240", encode_bmp(photo(320, 240))},
      {"photo-203x251-top-down", encode_bmp(photo(203, 251), {.top_down = true})},
      {"photo-200x160-32bit", encode_bmp(photo(200, 160), {.bits = 32})},
      {"no-face-97x61", encode_bmp(no_face)},
  };
}

// Every occurrence of `path` in `text` replaced by `name`: the folder differs
// on every run.
std::string with_placeholder(std::string text, const std::string &path, const std::string &name) {
  for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + name.size()))
    text.replace(at, path.size(), name);
  return text;
}

Answer answer_of(const PluginInfo &plugin, const Sample &sample) {
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
  write_file(in, sample.file);
  const RunResult r = run_export(plugin_library(plugin.library), plugin.symbol, in, out);
  EXPECT_TRUE(r.completed) << plugin.command << " on " << sample.name << ": " << r.err;
  auto shown = [&](const std::string &text) {
    return with_placeholder(with_placeholder(text, in, "<in>"), out, "<out>");
  };
  const std::vector<uint8_t> file = file_exists(out) ? read_file(out) : std::vector<uint8_t>{};
  return Answer{r.status, fnv1a(shown(r.err), fnv1a(shown(r.out) + std::string(1, '\0'))),
                file_exists(out) ? fnv1a(std::string(file.begin(), file.end())) : 0};
}

const Golden *golden_for(const PluginInfo &plugin, const Sample &sample) {
  for (const Golden &g : kGolden)
    if (std::string(g.command) == plugin.command && std::string(g.sample) == sample.name) return &g;
  return nullptr;
}

std::string row(const PluginInfo &plugin, const Sample &sample, const Answer &a) {
  char text[200];
  std::snprintf(text, sizeof text, "{\"%s\", \"%s\", {%d, 0x%016llxu, 0x%016llxu}},", plugin.command,
                sample.name, a.status, static_cast<unsigned long long>(a.console),
                static_cast<unsigned long long>(a.output));
  return text;
}

std::vector<const PluginInfo *> built_plugins() {
  std::vector<const PluginInfo *> built;
  std::stringstream list(TAVRIN_BUILT_PLUGINS);
  for (std::string name; std::getline(list, name, ',');)
    for (const PluginInfo &info : kPlugins)
      if (name == info.library) built.push_back(&info);
  return built;
}

class GoldenOutputs : public testing::TestWithParam<const PluginInfo *> {};

TEST_P(GoldenOutputs, EverySampleAsPinned) {
  const PluginInfo &plugin = *GetParam();
  for (const Sample &sample : samples()) {
    const Answer got = answer_of(plugin, sample);
    const Golden *want = golden_for(plugin, sample);
    if (want == nullptr) {
      ADD_FAILURE() << plugin.command << " on " << sample.name << " is not pinned; it answered\n"
                    << row(plugin, sample, got);
      continue;
    }
    EXPECT_TRUE(got.status == want->answer.status && got.console == want->answer.console &&
                got.output == want->answer.output)
        << plugin.command << " on " << sample.name << " changed: pinned\n"
        << row(plugin, sample, want->answer) << "\nnow\n"
        << row(plugin, sample, got);
  }
}

INSTANTIATE_TEST_SUITE_P(Plugins, GoldenOutputs, testing::ValuesIn(built_plugins()),
                         [](const auto &info) { return std::string(info.param->command); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GoldenOutputs);

} // namespace
} // namespace tavrin::test

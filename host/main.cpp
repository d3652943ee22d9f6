// tavrin: loads a photo-effect plug-in and applies it to a picture.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "demo/portrait.h"
#include "plugins/utf16.h"

namespace {

using tavrin::PluginInfo;

constexpr int kExitWritten = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void print_usage(std::FILE *to) {
  std::fprintf(to,
               "Usage: tavrin [--plugin-dir DIR] COMMAND [ARGS]\n"
               "\n"
               "Commands:\n"
               "  sunglasses IN.bmp OUT.bmp   put sunglasses on the eyes\n"
               "  mustache IN.bmp OUT.bmp     put a mustache under the nose\n"
               "  hat IN.bmp OUT.bmp          put a top hat on the head\n"
               "  beard IN.bmp OUT.bmp        put a beard on the lower face\n"
               "  demo [OUTDIR]               write the built-in portrait to OUTDIR\n"
               "                              (default: the current folder) and apply\n"
               "                              every plug-in that is built to it\n"
               "\n"
               "Options:\n"
               "  --plugin-dir DIR  load plug-ins from DIR (default: the program's folder)\n"
               "  --help            show this text\n"
               "  --version         show the version\n"
               "\n"
               "Exit status: 0 when the output was written, 1 when the plug-in failed,\n"
               "2 for a wrong command line or a plug-in that cannot be loaded.\n");
}

int usage_error(const char *what) {
  tavrin::print_error("tavrin: %s\nTry 'tavrin --help'.\n", what);
  return kExitUsage;
}

// Loads the plug-in and runs it once. Returns the exit status.
int run_plugin(const std::string &dir, const PluginInfo &plugin, const std::string &input,
               const std::string &output) {
  tavrin::LoadedPlugin loaded;
  std::string error;
  if (!loaded.load(tavrin::plugin_path(dir, plugin), plugin.symbol, error)) {
    tavrin::print_error("tavrin: cannot load the %s plug-in: %s\n", plugin.command, error.c_str());
    return kExitUsage;
  }
  std::u16string in = tavrin::argument_to_utf16(input);
  std::u16string out = tavrin::argument_to_utf16(output);
  int32_t status = loaded.entry()(in.c_str(), out.c_str());
  std::fflush(stdout);
  return status == 999 ? kExitWritten : kExitFailed;
}

int run_demo(const std::string &dir, const std::string &out_dir) {
  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  const std::string portrait = out_dir + "/portrait.bmp";
  if (!tavrin::write_picture(portrait.c_str(), tavrin::make_portrait())) {
    tavrin::print_error("tavrin: cannot write %s\n", portrait.c_str());
    return kExitFailed;
  }
  std::printf("Sample portrait: %s\n", portrait.c_str());

  int status = kExitWritten;
  std::vector<std::string> written;
  for (const PluginInfo &plugin : tavrin::kPlugins) {
    if (!std::filesystem::exists(tavrin::plugin_path(dir, plugin))) {
      std::printf("(the %s plug-in is not built; skipped)\n", plugin.command);
      continue;
    }
    const std::string result = out_dir + "/portrait-" + plugin.command + ".bmp";
    std::printf("\n== %s ==\n", plugin.command);
    std::fflush(stdout);
    int one = run_plugin(dir, plugin, portrait, result);
    if (one == kExitWritten)
      written.push_back(result);
    else if (status == kExitWritten)
      status = one;
  }
  std::printf("\n");
  for (const std::string &path : written) std::printf("Wrote %s\n", path.c_str());
  std::fflush(stdout);
  return status;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dir;
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    if (args[i] == "--help") {
      print_usage(stdout);
      return kExitWritten;
    }
    if (args[i] == "--version") {
      std::printf("tavrin %s\n", TAVRIN_VERSION);
      return kExitWritten;
    }
    if (args[i] == "--plugin-dir") {
      if (++i == args.size()) return usage_error("--plugin-dir needs a folder");
      dir = args[i];
      continue;
    }
    return usage_error(("unknown option " + args[i]).c_str());
  }
  if (dir.empty()) dir = tavrin::program_dir();
  if (i == args.size()) return usage_error("no command given");

  const std::string command = args[i++];
  const size_t rest = args.size() - i;
  if (command == "demo") {
    if (rest > 1) return usage_error("demo takes at most one folder");
    return run_demo(dir, rest == 1 ? args[i] : std::string("."));
  }
  const PluginInfo *plugin = tavrin::find_plugin(command);
  if (plugin == nullptr) return usage_error(("unknown command " + command).c_str());
  if (rest != 2) return usage_error((command + " takes an input and an output file").c_str());
  return run_plugin(dir, *plugin, args[i], args[i + 1]);
}

// tavrin: applies photo-effect plug-ins to pictures. Parse, dispatch, nothing else.
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

#include "cli/commands.h"
#include "cli/options.h"
#if defined(TAVRIN_HAVE_PHOTO)
#include "photo/codec.h"
#endif
#include "plugins/registry.h"
#include "plugins/utf16.h"

namespace {

// The arguments as UTF-8. Windows hands them over wide, so names outside
// the code page survive.
std::vector<std::string> arguments(int argc, char **argv) {
#if defined(_WIN32)
  (void)argc, (void)argv;
  std::vector<std::string> args;
  int n = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
  for (int i = 1; wide != nullptr && i < n; ++i) args.push_back(tavrin::wide_to_utf8(wide[i]));
  if (wide != nullptr) LocalFree(wide);
  return args;
#else
  return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

} // namespace

int main(int argc, char **argv) {
  using namespace tavrin::cli;
#if defined(TAVRIN_HAVE_PHOTO)
  // Sets an environment variable: done while there is one thread.
  tavrin::photo::skip_unused_codec_modules();
#endif
  Options options;
  if (int usage = parse(arguments(argc, argv), options); usage >= 0) return usage;
  if (options.plugin_dir.empty()) options.plugin_dir = tavrin::program_dir();
  options.program = tavrin::program_path();
  switch (options.command) {
  case Command::help:
  case Command::version:
    std::fputs(options.help_text.c_str(), stdout);
    if (!options.help_text.empty() && options.help_text.back() != '\n') std::fputc('\n', stdout);
    return kExitWritten;
  case Command::apply:
    return options.apply.out_dir.empty() ? run_apply(options) : run_batch(options);
  case Command::demo: return run_demo(options);
  case Command::sheet: return run_sheet(options);
  case Command::serve: return run_serve(options);
  case Command::worker: return run_worker(options);
  case Command::none: break;
  }
  std::fprintf(stderr, "tavrin: no command given\nTry 'tavrin --help'.\n");
  return kExitUsage;
}

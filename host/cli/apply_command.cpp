// The single-file command and the demo: one job each, run in this process so
// the plug-in's lines reach the console as it prints them.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "console.h"
#include "demo/portrait.h"
#include "photo/pipeline.h"
#include "plugins/registry.h"

namespace tavrin::cli {

namespace {

int exit_status(const photo::JobResult &r) {
  switch (r.outcome) {
  case photo::Outcome::written: return kExitWritten;
  case photo::Outcome::not_loadable: return kExitUsage;
  case photo::Outcome::failed: break;
  }
  return kExitFailed;
}

// Prints the one-line reason of a failed job, if the photo path gave one.
void report(const photo::JobResult &r) {
  if (!r.error.empty()) print_error("tavrin: %s\n", r.error.c_str());
}

} // namespace

int run_apply(const Options &o) {
  const ApplyOptions &a = o.apply;
  if (a.files.size() != 2) {
    print_error("tavrin: %s takes an input and an output file (or --out-dir DIR)\n"
                "Try 'tavrin --help'.\n",
                a.effect.c_str());
    return kExitUsage;
  }
  photo::Job job;
  job.effect = a.effect;
  job.input = a.files[0];
  job.output = a.files[1];
  job.plugin_dir = o.plugin_dir;
  job.encode = a.encode;
  job.limits = a.limits;
  job.in_place = a.in_place;
  const photo::JobResult r = photo::run_job(job);
  report(r);
  return exit_status(r);
}

int run_demo(const Options &o) {
  const std::string &out_dir = o.demo.out_dir;
  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  const std::string portrait = out_dir + "/portrait.bmp";
  if (!write_picture(portrait.c_str(), make_portrait())) {
    print_error("tavrin: cannot write %s\n", portrait.c_str());
    return kExitFailed;
  }
  std::printf("Sample portrait: %s\n", portrait.c_str());

  int status = kExitWritten;
  std::vector<std::string> written;
  for (const PluginInfo &plugin : kPlugins) {
    if (!std::filesystem::exists(plugin_path(o.plugin_dir, plugin))) {
      std::printf("(the %s plug-in is not built; skipped)\n", plugin.command);
      continue;
    }
    photo::Job job;
    job.effect = plugin.command;
    job.input = portrait;
    job.output = out_dir + "/portrait-" + plugin.command + ".bmp";
    job.plugin_dir = o.plugin_dir;
    std::printf("\n== %s ==\n", plugin.command);
    std::fflush(stdout);
    const photo::JobResult r = photo::run_job(job);
    report(r);
    const int one = exit_status(r);
    if (one == kExitWritten)
      written.push_back(job.output);
    else if (status == kExitWritten)
      status = one;
  }
  std::printf("\n");
  for (const std::string &path : written) std::printf("Wrote %s\n", path.c_str());
  std::fflush(stdout);
  return status;
}

int run_sheet(const Options &) {
  print_error("tavrin: sheet needs the photo path, which this build lacks\n");
  return kExitUsage;
}

} // namespace tavrin::cli

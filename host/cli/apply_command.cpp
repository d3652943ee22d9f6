// The single-file command and the demo: one job each, run in this process so
// the plug-in's lines reach the console as it prints them.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "console.h"
#include "demo/portrait.h"
#include "photo/pipeline.h"
#if defined(TAVRIN_HAVE_PHOTO)
#include "photo/contact_sheet.h"
#endif
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

bool writes_to_stdout(const std::string &output) {
#if defined(_WIN32)
  (void)output;
  return false;
#else
  struct stat out {}, console {};
  return stat(output.c_str(), &out) == 0 && fstat(1, &console) == 0 && out.st_dev == console.st_dev &&
         out.st_ino == console.st_ino;
#endif
}

// Runs one job here, the plug-in's lines caught and printed with the
// user's file names in them.
photo::JobResult run_here(const photo::Job &job) {
  photo::JobResult r = photo::run_job(job, photo::RunOptions{true});
  // A picture written to standard output keeps it to itself.
  std::FILE *lines = writes_to_stdout(job.output) ? stderr : stdout;
  std::fwrite(r.plugin_stdout.data(), 1, r.plugin_stdout.size(), lines);
  std::fflush(lines);
  std::fwrite(r.plugin_stderr.data(), 1, r.plugin_stderr.size(), stderr);
  return r;
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
  const photo::JobResult r = run_here(job);
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
    const photo::JobResult r = run_here(job);
    report(r);
    const int one = exit_status(r);
    if (one == kExitWritten)
      written.push_back(job.output);
    else if (status == kExitWritten)
      status = one;
  }
#if defined(TAVRIN_HAVE_PHOTO)
  if (!written.empty()) {
    std::vector<photo::SheetPanel> panels{{"portrait", portrait}};
    for (const std::string &path : written) {
      const std::string leaf = path.substr(out_dir.size() + std::strlen("/portrait-"));
      panels.push_back({leaf.substr(0, leaf.size() - std::strlen(".bmp")), path});
    }
    const std::string sheet = out_dir + "/portrait-sheet.png";
    std::string why;
    if (photo::write_contact_sheet(panels, sheet, {}, {}, why))
      written.push_back(sheet);
    else {
      print_error("tavrin: %s\n", why.c_str());
      if (status == kExitWritten) status = kExitFailed;
    }
  }
#endif
  std::printf("\n");
  for (const std::string &path : written) std::printf("Wrote %s\n", path.c_str());
  std::fflush(stdout);
  return status;
}

#if defined(TAVRIN_HAVE_PHOTO)
// Every effect on the picture, then the picture and the results side by
// side. The results wait in a private folder that goes with the command.
int run_sheet(const Options &o) {
  const SheetOptions &s = o.sheet;
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tavrin-sheet-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    print_error("tavrin: cannot make a private folder in %s\n", pattern.c_str());
    return kExitFailed;
  }
  struct Remove {
    std::string path;
    ~Remove() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } folder{buffer.data()};

  std::vector<photo::SheetPanel> panels{{"original", s.input}};
  for (const PluginInfo &plugin : kPlugins) {
    photo::Job job;
    job.effect = plugin.command;
    job.input = s.input;
    job.output = folder.path + "/" + plugin.command + ".bmp";
    job.plugin_dir = o.plugin_dir;
    job.limits = s.limits;
    const photo::JobResult r = photo::run_job(job, photo::RunOptions{true});
    if (r.outcome == photo::Outcome::not_loadable) {
      report(r);
      return kExitUsage;
    }
    if (r.outcome != photo::Outcome::written) {
      if (!r.error.empty()) {
        report(r);
        return kExitFailed;
      }
      std::printf("%s: the plug-in found nothing to paint on\n", plugin.command);
      continue;
    }
    panels.push_back({plugin.command, job.output});
  }
  std::string why;
  if (!photo::write_contact_sheet(panels, s.output, s.encode, s.limits, why)) {
    print_error("tavrin: %s\n", why.c_str());
    return kExitFailed;
  }
  std::printf("Wrote %s\n", s.output.c_str());
  return kExitWritten;
}
#else
int run_sheet(const Options &) {
  print_error("tavrin: sheet needs the photo path, which this build lacks (it reads BMP only)\n");
  return kExitUsage;
}
#endif

} // namespace tavrin::cli

#include "cli/options.h"

#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>

#include "photo/formats.h"
#include "plugins/registry.h"

namespace tavrin::cli {

namespace {

#if defined(TAVRIN_HAVE_PHOTO)
constexpr const char *kFormats =
    "Pictures: reads JPEG, PNG, WebP, HEIC/HEIF, AVIF, TIFF and BMP (by content);\n"
    "writes JPEG, PNG, WebP, HEIC, AVIF, TIFF or BMP, by the output's extension\n"
    "or --format.\n";
#else
constexpr const char *kFormats =
    "Pictures: this build reads and writes 24-bit BMP only.\n";
#endif

constexpr const char *kExitText =
    "Exit status: 0 when every output was written, 1 when a picture failed,\n"
    "2 for a wrong command line or a plug-in that cannot be loaded, 130 when\n"
    "interrupted.\n";

void add_encode(CLI::App &app, photo::EncodeOptions &encode, photo::Limits &limits) {
  app.add_option("--format", encode.format, "output format: jpg, png, webp, heic, avif, tif or bmp")
      ->type_name("EXT")
      ->check(CLI::Validator(
          [](std::string &ext) {
            return photo::format_for(ext).empty() ? "this build does not write " + ext + " pictures" : std::string();
          },
          ""));
  app.add_option("--quality", encode.quality, "quality of lossy outputs (default 90)")
      ->check(CLI::Range(1, 100))
      ->type_name("1-100");
  app.add_flag("--strip", encode.strip, "drop all metadata (ICC profile, EXIF, XMP, location)");
  app.add_option_function<double>(
         "--max-megapixels",
         [&limits](double mp) { limits.max_pixels = static_cast<uint64_t>(mp * 1e6); },
         "refuse larger pictures, from their header (default 100)")
      ->check(CLI::PositiveNumber)
      ->type_name("N");
}

void add_effect(CLI::App &app, const PluginInfo &plugin, Options &o) {
  ApplyOptions &a = o.apply;
  std::string what = std::string("apply the ") + plugin.command + " effect";
  CLI::App *sub = app.add_subcommand(plugin.command, what);
  sub->add_option("files", a.files, "IN OUT, or the inputs of a batch (files and folders)")
      ->required()
      ->type_name("FILE");
  add_encode(*sub, a.encode, a.limits);
  sub->add_flag("--in-place", a.in_place, "allow the output to replace the input");
  CLI::Option_group *batch = sub->add_option_group("Batch");
  batch->add_option("--out-dir", a.out_dir, "write every input's result into DIR")->type_name("DIR");
  batch->add_flag("-r,--recursive", a.recursive, "walk sub-folders of the folders given");
  batch->add_flag("--skip-existing", a.skip_existing, "leave outputs that already exist");
  batch->add_option("-j,--jobs", a.jobs, "worker processes (default: the number of cores)")
      ->check(CLI::PositiveNumber);
  batch->add_option("--timeout", a.timeout_seconds, "seconds per file before it fails (default 60)")
      ->check(CLI::PositiveNumber);
  batch->add_flag("-q,--quiet", a.quiet, "hide the plug-ins' own lines");
  batch->add_flag("-v,--verbose", a.verbose, "one line per file");
  batch->add_option("--report", a.report, "write one JSON line per input to FILE")->type_name("FILE");
  sub->callback([&o, &plugin] {
    o.command = Command::apply;
    o.apply.effect = plugin.command;
  });
}

} // namespace

int parse(const std::vector<std::string> &args, Options &o) {
  CLI::App app("tavrin: photo effects that find a face and paint on it.", "tavrin");
  // CLI11 reads "/name" as an option on Windows, which would refuse a path
  // such as /photos/a.jpg; options are spelt with dashes everywhere. Set
  // before the subcommands, which copy it.
  app.allow_windows_style_options(false);
  app.footer(std::string("\n") + kFormats + "\n" + kExitText);
  app.set_version_flag("--version", std::string("tavrin ") + TAVRIN_VERSION);
  app.add_option("--plugin-dir", o.plugin_dir, "load plug-ins from DIR (default: the program's folder)")
      ->type_name("DIR");
  app.require_subcommand(1);
  app.fallthrough();

  for (const PluginInfo &plugin : kPlugins) add_effect(app, plugin, o);

  CLI::App *demo = app.add_subcommand("demo", "write the built-in portrait and every effect on it");
  demo->add_option("outdir", o.demo.out_dir, "folder (default: the current one)")->type_name("OUTDIR");
  demo->callback([&o] { o.command = Command::demo; });

  CLI::App *sheet = app.add_subcommand("sheet", "a contact sheet of a picture and the four effects");
  sheet->add_option("input", o.sheet.input)->required()->type_name("IN");
  sheet->add_option("output", o.sheet.output)->required()->type_name("OUT");
  add_encode(*sheet, o.sheet.encode, o.sheet.limits);
  sheet->callback([&o] { o.command = Command::sheet; });

  CLI::App *serve = app.add_subcommand("serve", "a web page and an HTTP API for the effects");
  serve->add_option("--host", o.serve.host, "address to listen on (default 127.0.0.1)");
  serve->add_option("--port", o.serve.port, "port (default 8080)")->check(CLI::Range(0, 65535));
  serve->add_option("--jobs", o.serve.jobs, "calls at once (default: the number of cores)")
      ->check(CLI::PositiveNumber);
  serve->add_option("--max-upload-mb", o.serve.max_upload_mb, "largest upload (default 50)")
      ->check(CLI::PositiveNumber);
  serve->add_option_function<double>(
           "--max-megapixels",
           [&o](double mp) { o.serve.limits.max_pixels = static_cast<uint64_t>(mp * 1e6); },
           "refuse larger pictures (default 100)")
      ->check(CLI::PositiveNumber);
  serve->add_option("--timeout", o.serve.timeout_seconds, "seconds per call (default 60)")
      ->check(CLI::PositiveNumber);
  serve->callback([&o] { o.command = Command::serve; });

  // Started by this program itself for isolated plug-in calls.
  CLI::App *worker = app.add_subcommand("__worker", "")->group("");
  worker->add_option("--memory-limit", o.worker.memory_limit);
  worker->callback([&o] { o.command = Command::worker; });

  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(std::move(reversed));
  } catch (const CLI::CallForVersion &e) {
    o.command = Command::version;
    o.help_text = e.what();
    return -1;
  } catch (const CLI::CallForHelp &) {
    o.command = Command::help;
    o.help_text = app.help();
    return -1;
  } catch (const CLI::CallForAllHelp &) {
    o.command = Command::help;
    o.help_text = app.help("", CLI::AppFormatMode::All);
    return -1;
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "tavrin: %s\nTry 'tavrin --help'.\n", e.what());
    return kExitUsage;
  }
  return -1;
}

} // namespace tavrin::cli

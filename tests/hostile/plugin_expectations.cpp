#include "plugin_expectations.h"

#include <cstdio>
#include <sstream>

namespace tavrin::test {

namespace {

std::string format(const char *pattern, const std::string &path) {
  char buffer[4096];
  std::snprintf(buffer, sizeof buffer, pattern, path.c_str());
  return buffer;
}

PluginExpectations sunglasses() {
  PluginExpectations p;
  p.before_load = [](const std::string &in) { return format("Loading %s ...\n", in); };
  p.cannot_open = [](const std::string &in) { return format("Cannot open %s\n", in); };
  p.not_a_bitmap = [](const std::string &) { return "Truncated BMP header.\n"; };
  p.rows_missing = [](const std::string &, int) { return "Truncated BMP pixel data.\n"; };
  p.cannot_write = [](const std::string &out) { return format("Cannot write %s\n", out); };
  p.written = [](const std::string &) { return "Done!\n"; };
  p.no_memory_for_path = "Not enough memory.\n";
  return p;
}

PluginExpectations mustache() {
  PluginExpectations p;
  p.before_load = [](const std::string &) { return std::string(); };
  p.cannot_open = [](const std::string &in) { return format("Cannot open: %s\n", in); };
  p.not_a_bitmap = [](const std::string &in) { return format("Not a BMP file: %s\n", in); };
  p.rows_missing = [](const std::string &, int) { return "Unexpected EOF reading pixel data.\n"; };
  p.cannot_write = [](const std::string &out) { return format("Cannot write: %s\n", out); };
  p.written = [](const std::string &) { return "Done.\n"; };
  p.no_memory_for_path = "Out of memory.\n";
  return p;
}

PluginExpectations face_hat() {
  PluginExpectations p;
  p.before_load = [](const std::string &) { return std::string(); };
  p.cannot_open = [](const std::string &in) { return format("Cannot open: %s\n", in); };
  // The hat's reader fails silently on short headers and short rows.
  p.not_a_bitmap = [](const std::string &) { return std::string(); };
  p.rows_missing = [](const std::string &, int) { return std::string(); };
  p.cannot_write = [](const std::string &out) { return format("Cannot write: %s\n", out); };
  p.written = [](const std::string &out) { return format("Saved: %s\n", out); };
  return p;
}

PluginExpectations beard() {
  PluginExpectations p;
  p.before_load = [](const std::string &) { return std::string(); };
  p.cannot_open = [](const std::string &in) { return format("%s: cannot open file\n", in); };
  p.not_a_bitmap = [](const std::string &in) { return format("%s: not a BMP file\n", in); };
  p.rows_missing = [](const std::string &in, int row) {
    return format("%s: unexpected end of file at row ", in) + std::to_string(row) + "\n";
  };
  p.cannot_write = [](const std::string &out) { return format("%s: cannot write file\n", out); };
  p.written = [](const std::string &) { return "Done.\n"; };
  return p;
}

PluginExpectations expectations_for(const PluginInfo &info) {
  const std::string command = info.command;
  PluginExpectations p = command == "sunglasses" ? sunglasses()
                         : command == "mustache" ? mustache()
                         : command == "hat"      ? face_hat()
                                                 : beard();
  p.info = &info;
  p.rules.accepts_32bit = info.reads_32bit;
  p.rules.last_padding_optional = info.last_row_padding_optional;
  return p;
}

} // namespace

std::vector<PluginExpectations> built_plugins() {
  // TAVRIN_BUILT_PLUGINS: the libraries of this build, separated by commas.
  std::vector<std::string> built;
  std::stringstream list(TAVRIN_BUILT_PLUGINS);
  for (std::string name; std::getline(list, name, ',');) built.push_back(name);
  std::vector<PluginExpectations> plugins;
  for (const PluginInfo &info : kPlugins)
    for (const std::string &name : built)
      if (name == info.library) plugins.push_back(expectations_for(info));
  return plugins;
}

RunResult run_plugin(const PluginExpectations &plugin, const std::string &input,
                     const std::string &output, const RunOptions &options) {
  return run_export(plugin_library(plugin.info->library), plugin.info->symbol, input, output,
                    options);
}

std::string plugin_test_name(const PluginExpectations &plugin) { return plugin.info->command; }

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace tavrin::test

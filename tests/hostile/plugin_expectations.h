// What each built plug-in prints when its input or its disk lets it down, so
// the hostile-world tests can hold all four to their own texts.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "export_contract.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "plugin_runner.h"

namespace tavrin::test {

using PathText = std::function<std::string(const std::string &path)>;

struct PluginExpectations {
  const PluginInfo *info = nullptr;
  fuzz::ReaderRules rules;          // what the reader accepts beyond plain 24-bit files
  PathText before_load;   // standard output before the reader runs (input path)
  PathText cannot_open;   // standard error for an input that cannot be opened
  PathText not_a_bitmap;  // standard error for an empty input, or a folder
  std::function<std::string(const std::string &path, int row)> rows_missing; // file ends at `row`
  PathText cannot_write;  // the last standard-error line when the output fails (output path)
  PathText written;       // the standard-output line that reports the output written
  std::string no_memory_for_path; // standard error when a path cannot be converted for want of memory
};

// The plug-ins this build made, in the host's order.
std::vector<PluginExpectations> built_plugins();

// Calls the plug-in's export in a child process.
RunResult run_plugin(const PluginExpectations &plugin, const std::string &input,
                     const std::string &output, const RunOptions &options = {});

// How GoogleTest shows a parameter: by its command word.
inline void PrintTo(const PluginExpectations &plugin, std::ostream *os) { *os << plugin.info->command; }

// For the names of parameterised tests: "sunglasses", "hat", ...
std::string plugin_test_name(const PluginExpectations &plugin);

// Whether `text` ends with `tail`.
bool ends_with(const std::string &text, const std::string &tail);

} // namespace tavrin::test

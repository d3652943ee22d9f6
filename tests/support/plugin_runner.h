// Runs a plug-in's export the way the host does, in a child process, and
// captures its status and both console streams.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::test {

struct RunResult {
  bool completed = false; // the call returned (no crash, no abort)
  int32_t status = 0;     // what the export returned
  std::string out;        // standard output
  std::string err;        // standard error
};

// Full path of a built plug-in, e.g. plugin_library("TavrinBMPSunglasses").
std::string plugin_library(const std::string &name);

// Loads `library` in a fresh child process, calls `symbol` with the two
// UTF-16 paths (either may be null) and reports what happened.
RunResult run_export(const std::string &library, const char *symbol, const char16_t *input,
                     const char16_t *output);

// The same with UTF-8 paths, converted as the host converts them.
RunResult run_export(const std::string &library, const char *symbol, const std::string &input,
                     const std::string &output);

} // namespace tavrin::test

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

// How the child process is set up before the call.
struct RunOptions {
  // Caps the child's address space (bytes, 0 = no cap), so a reader that
  // trusts a header's size fails to allocate instead of eating the machine.
  // Ignored where the cap cannot work: see address_space_limit_works().
  uint64_t address_space_limit = 0;
  // Caps the child's address space at what it uses just before the call plus
  // this many bytes (0 = no such cap): room for a picture, say, but not for
  // the work on it. Blocks of 128 KiB and more then always get fresh memory,
  // so free space left in the heap does not widen the room. Ignored where
  // the cap cannot work, as above.
  uint64_t address_space_headroom = 0;
  // When running as root, make the call as the unprivileged user 65534, so
  // that permission bits apply. The files the call needs must be reachable
  // for that user.
  bool unprivileged = false;
};

// False under AddressSanitizer or valgrind, which need far more address space
// than the program itself.
bool address_space_limit_works();

// Full path of a built plug-in, e.g. plugin_library("TavrinBMPSunglasses").
// TAVRIN_PLUGIN_DIR in the environment points the tests at the plug-ins of
// another build (an earlier one, to compare their outputs).
std::string plugin_library(const std::string &name);

// Loads `library` in a fresh child process, calls `symbol` with the two
// UTF-16 paths (either may be null) and reports what happened. In a build
// with AddressSanitizer, memory the call leaked makes it not `completed`.
RunResult run_export(const std::string &library, const char *symbol, const char16_t *input,
                     const char16_t *output, const RunOptions &options = {});

// The same with UTF-8 paths, converted as the host converts them.
RunResult run_export(const std::string &library, const char *symbol, const std::string &input,
                     const std::string &output, const RunOptions &options = {});

} // namespace tavrin::test

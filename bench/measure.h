// Runs one piece of work in a child process and tells how long it took and how
// much memory it needed on top of what the process held before.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tavrin::bench {

struct Measurement {
  bool completed = false; // the work returned (no crash, no abort)
  int32_t status = 0;     // what the work returned
  double ms = 0;          // wall time of the work alone
  int64_t peak_bytes = 0; // peak resident memory above the starting point
};

// Forks, sends the child's standard output and error to `log_path` (nothing
// kept when empty), runs `work` there and reports.
Measurement measure_in_child(const std::function<int32_t()> &work, const std::string &log_path);

// Reads a whole file and writes the same bytes to another: the floor any
// plug-in has to pay. Returns 999 when both went through, as a plug-in does.
int32_t copy_file(const char *input, const char *output);

// FNV-1a of a file's bytes, to tell outputs apart at a glance; 0 when unreadable.
uint64_t file_fingerprint(const std::string &path);

} // namespace tavrin::bench

// Runs one piece of work in a child process and tells how long it took and how
// much memory it needed on top of what the process held before.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Lowers the process's peak resident size to its current size, so a peak
// read later belongs to the work after this call alone.
bool reset_peak_memory();

// Resident size now and its peak, in bytes; -1 when they cannot be read.
int64_t resident_bytes();
int64_t peak_resident_bytes();

// FNV-1a of a file's bytes, to tell outputs apart at a glance; 0 when unreadable.
uint64_t file_fingerprint(const std::string &path);

// Runs the program `args[0]` (a path) with its output thrown away; wall
// seconds, start-up and exit included, or -1 when it did not exit with 0.
double run_quietly(std::vector<std::string> args);

} // namespace tavrin::bench

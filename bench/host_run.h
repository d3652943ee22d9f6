// One plug-in call in a host process of its own (tavrin_bench_host), timed
// from outside: starting the program, loading the library, the call and the
// exit all count, for the plug-ins and for the copy they are compared with.
#pragma once

#include <cstdint>
#include <string>

#include "measure.h"

namespace tavrin::bench {

// What tavrin_bench_host sends back through its report descriptor.
struct HostReport {
  int32_t status;         // what the export returned
  int64_t baseline_bytes; // resident size just before the call
  int64_t peak_bytes;     // peak resident size after it, -1 when unknown
};

struct HostCall {
  std::string helper;  // the tavrin_bench_host program
  std::string library; // plug-in path
  std::string symbol;  // its export
};

// Runs `call` on input -> output once, the helper's standard output and error
// going to `log_path` (nowhere when empty). `ms` is the wall time of the whole
// process, `peak_bytes` the peak resident size above the size before the call.
Measurement measure_through_host(const HostCall &call, const std::string &input,
                                 const std::string &output, const std::string &log_path);

// Best time of `runs` (the first keeps its log), largest peak.
Measurement best_through_host(int runs, const HostCall &call, const std::string &input,
                              const std::string &output, const std::string &log_path);

} // namespace tavrin::bench

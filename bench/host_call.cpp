// tavrin_bench_host LIBRARY SYMBOL INPUT OUTPUT REPORT_FD
//
// The host side of one call, as a process of its own: loads the library,
// calls the export once and writes a HostReport (host_run.h) to REPORT_FD.
// The benchmark times the whole process, so start-up and loading count.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "host_run.h"
#include "measure.h"
#include "plugins/library.h"
#include "plugins/utf16.h"

int main(int argc, char **argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: tavrin_bench_host LIBRARY SYMBOL INPUT OUTPUT REPORT_FD\n");
    return 2;
  }
  const int report_fd = std::atoi(argv[5]);
  tavrin::LoadedPlugin plugin;
  std::string error;
  if (!plugin.load(argv[1], argv[2], error) || plugin.entry() == nullptr) {
    std::fprintf(stderr, "tavrin_bench_host: %s\n", error.c_str());
    return 3;
  }
  const std::u16string in = tavrin::argument_to_utf16(argv[3]);
  const std::u16string out = tavrin::argument_to_utf16(argv[4]);

  tavrin::bench::HostReport report{};
  const bool peak_reset = tavrin::bench::reset_peak_memory();
  report.baseline_bytes = tavrin::bench::resident_bytes();
  report.status = plugin.entry()(in.c_str(), out.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  report.peak_bytes = peak_reset ? tavrin::bench::peak_resident_bytes() : -1;
  return write(report_fd, &report, sizeof report) == sizeof report ? 0 : 4;
}

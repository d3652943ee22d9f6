#include "host_run.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavrin::bench {

namespace {

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Closes a descriptor on every path out of the call.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

} // namespace

Measurement measure_through_host(const HostCall &call, const std::string &input,
                                 const std::string &output, const std::string &log_path) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  Descriptor read_end{fds[0]}, write_end{fds[1]};
  const std::string report_fd = std::to_string(fds[1]);
  std::fflush(stdout);
  std::fflush(stderr);
  const double start = now_ms();
  const pid_t child = fork();
  if (child < 0) return {};
  if (child == 0) {
    const int log_fd = log_path.empty() ? open("/dev/null", O_WRONLY)
                                        : open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log_fd < 0) _exit(126);
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    close(log_fd);
    close(fds[0]);
    execl(call.helper.c_str(), call.helper.c_str(), call.library.c_str(), call.symbol.c_str(),
          input.c_str(), output.c_str(), report_fd.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(write_end.fd);
  write_end.fd = -1;
  HostReport report{};
  const bool got = read(read_end.fd, &report, sizeof report) == sizeof report;
  int wait_status = 0;
  rusage usage{};
  wait4(child, &wait_status, 0, &usage);
  const double end = now_ms();

  Measurement m;
  m.completed = got && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  m.status = report.status;
  m.ms = end - start;
  // Without a resettable peak, the process's lifetime peak is the best bound.
  const int64_t peak = report.peak_bytes >= 0 ? report.peak_bytes : int64_t{usage.ru_maxrss} * 1024;
  m.peak_bytes = peak > report.baseline_bytes ? peak - report.baseline_bytes : 0;
  return m;
}

Measurement best_through_host(int runs, const HostCall &call, const std::string &input,
                              const std::string &output, const std::string &log_path) {
  Measurement best;
  for (int r = 0; r < runs; ++r) {
    const Measurement m = measure_through_host(call, input, output, r == 0 ? log_path : std::string());
    if (!m.completed) return m;
    best.ms = r == 0 ? m.ms : std::min(best.ms, m.ms);
    best.peak_bytes = std::max(best.peak_bytes, m.peak_bytes);
    best.completed = true;
    best.status = m.status;
  }
  return best;
}

} // namespace tavrin::bench

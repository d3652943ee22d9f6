#include "measure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "file_handle.h"

extern char **environ;

namespace tavrin::bench {

namespace {

struct ChildReport {
  int32_t status;
  double ms;
  int64_t baseline_bytes;
  int64_t peak_bytes; // -1 when the peak counter could not be reset
};

// A "VmRSS:" style line of /proc/self/status, in bytes; -1 when missing.
int64_t status_field(const char *name) {
  FileHandle f = open_file("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  const size_t n = std::strlen(name);
  while (std::fgets(line, sizeof line, f.get()) != nullptr)
    if (std::strncmp(line, name, n) == 0) return std::atoll(line + n) * 1024;
  return -1;
}

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

[[noreturn]] void run_child(const std::function<int32_t()> &work, const std::string &log_path,
                            int report_fd) {
  const int log_fd = log_path.empty() ? open("/dev/null", O_WRONLY)
                                      : open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (log_fd < 0) _exit(3);
  dup2(log_fd, 1);
  dup2(log_fd, 2);
  close(log_fd);

  ChildReport report{};
  const bool peak_reset = reset_peak_memory();
  report.baseline_bytes = resident_bytes();
  const double start = now_ms();
  report.status = work();
  report.ms = now_ms() - start;
  std::fflush(stdout);
  std::fflush(stderr);
  report.peak_bytes = peak_reset ? peak_resident_bytes() : -1;
  if (write(report_fd, &report, sizeof report) != sizeof report) _exit(4);
  _exit(0);
}

} // namespace

Measurement measure_in_child(const std::function<int32_t()> &work, const std::string &log_path) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return {};
  }
  if (child == 0) {
    close(fds[0]);
    run_child(work, log_path, fds[1]);
  }
  close(fds[1]);
  ChildReport report{};
  const bool got = read(fds[0], &report, sizeof report) == sizeof report;
  close(fds[0]);
  int wait_status = 0;
  rusage usage{};
  wait4(child, &wait_status, 0, &usage);

  Measurement m;
  m.completed = got && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  m.status = report.status;
  m.ms = report.ms;
  // Without a resettable peak, the child's lifetime peak is the best bound.
  const int64_t peak = report.peak_bytes >= 0 ? report.peak_bytes : int64_t{usage.ru_maxrss} * 1024;
  m.peak_bytes = peak > report.baseline_bytes ? peak - report.baseline_bytes : 0;
  return m;
}

bool reset_peak_memory() {
  FileHandle f = open_file("/proc/self/clear_refs", "w");
  if (!f) return false;
  return std::fputs("5", f.get()) >= 0 && close_file(f);
}

int64_t resident_bytes() { return status_field("VmRSS:"); }

int64_t peak_resident_bytes() { return status_field("VmHWM:"); }

uint64_t file_fingerprint(const std::string &path) {
  FileHandle f = open_file(path.c_str(), "rb");
  if (!f) return 0;
  uint64_t h = 0xCBF29CE484222325ull;
  static unsigned char block[1 << 16];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f.get())) > 0)
    for (size_t i = 0; i < n; ++i) h = (h ^ block[i]) * 0x100000001B3ull;
  return h;
}

double run_quietly(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

} // namespace tavrin::bench

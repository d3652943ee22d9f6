// One worker process: this program started in its hidden worker mode, kept
// alive across jobs. A job that crashes it, hangs past its time or runs it
// out of memory comes back as a failed JobResult, and the process is gone;
// the next run() starts a fresh one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "jobs/unique_fd.h"
#include "photo/job.h"

namespace tavrin::jobs {

// Most bytes kept of each console stream per job; the rest is cut.
inline constexpr size_t kConsoleCapBytes = 1u << 20;

struct WorkerSettings {
  std::string program;       // the tavrin executable
  uint64_t memory_limit = 0; // address space of the worker in bytes; 0: none
};

class WorkerProcess {
public:
  explicit WorkerProcess(WorkerSettings settings) : settings_(std::move(settings)) {}
  ~WorkerProcess() { stop(); }
  WorkerProcess(const WorkerProcess &) = delete;
  WorkerProcess &operator=(const WorkerProcess &) = delete;

  // Runs `job` and waits at most `timeout_seconds` for it. When `cancel_fd`
  // turns readable the job is killed and comes back with `cancelled` set.
  // The console lines are in the result either way.
  photo::JobResult run(const photo::Job &job, double timeout_seconds, int cancel_fd);

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Kills the process (and anything it started) and reaps it.
  void stop();

private:
  bool start(std::string &why);
  int kill_and_reap();  // the wait status
  void reset_console();
  std::string read_console(int fd) const;

  WorkerSettings settings_;
  pid_t pid_ = -1;
  UniqueFd socket_;     // our end of the job socket
  UniqueFd stdout_, stderr_; // the worker's fds 1 and 2, shared with us
};

// A share of the machine's memory for each of `workers` processes, at least
// 2 GiB: enough for the largest picture the default limits admit.
uint64_t default_memory_limit(int workers);

// The text for a worker that ended on its own with wait status `status`.
std::string death_reason(const std::string &effect, int status);

} // namespace tavrin::jobs

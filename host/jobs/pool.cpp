// N worker processes, started on first use and kept across jobs.
#include "jobs/pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

#include "jobs/output_staging.h"
#include "jobs/unique_fd.h"
#include "jobs/worker_process.h"
#include "photo/private_names.h"

namespace tavrin::jobs {

struct Pool::State {
  PoolOptions options;
  std::mutex mutex;
  std::condition_variable freed;
  std::vector<std::unique_ptr<WorkerProcess>> workers;
  std::vector<size_t> idle;     // indices into workers
  bool cancelled = false;
  // Readable once cancel() ran: every waiting worker call wakes on it.
  UniqueFd cancel_read, cancel_write;
};

namespace {

photo::JobResult failure(const photo::Job &job, const std::string &why) {
  photo::JobResult r;
  r.error = job.input + ": " + why;
  return r;
}

bool same_file(const std::string &a, const std::string &b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

photo::JobResult run_staged(WorkerProcess &worker, const photo::Job &job, const PoolOptions &options,
                            int cancel_fd) {
  if (!job.in_place && same_file(job.input, job.output))
    return failure(job, "the output would replace the input");
  StagedOutput staged;
  std::string why;
  if (!staged.open(job.output, why)) return failure(job, why);
  photo::Job inner = job;
  inner.output = staged.path();
  photo::JobResult r = worker.run(inner, options.timeout_seconds, cancel_fd);
  // The plug-in named its private pictures; the user knows their own names.
  r.plugin_stdout = photo::with_user_names(std::move(r.plugin_stdout), job.input, job.output);
  r.plugin_stderr = photo::with_user_names(std::move(r.plugin_stderr), job.input, job.output);
  if (r.outcome == photo::Outcome::written && !staged.commit(why)) {
    r.outcome = photo::Outcome::failed;
    r.face_found = false;
    r.error = job.input + ": " + why;
  }
  return r;
}

} // namespace

Pool::Pool(const PoolOptions &options) : state_(std::make_unique<State>()) {
  State &s = *state_;
  s.options = options;
  if (s.options.workers < 1) s.options.workers = 1;
  if (!(s.options.timeout_seconds > 0)) s.options.timeout_seconds = 60;
  if (s.options.memory_limit == 0) s.options.memory_limit = default_memory_limit(s.options.workers);
  for (int i = 0; i < s.options.workers; ++i) {
    s.workers.push_back(std::make_unique<WorkerProcess>(WorkerSettings{s.options.program, s.options.memory_limit}));
    s.idle.push_back(static_cast<size_t>(s.options.workers - 1 - i));
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    s.cancel_read.reset(fds[0]);
    s.cancel_write.reset(fds[1]);
  }
}

Pool::~Pool() = default;

photo::JobResult Pool::run(const photo::Job &job) {
  State &s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.freed.wait(lock, [&] { return s.cancelled || !s.idle.empty(); });
  if (s.cancelled) {
    photo::JobResult r = failure(job, "cancelled");
    r.cancelled = true;
    return r;
  }
  const size_t slot = s.idle.back();
  s.idle.pop_back();
  lock.unlock();

  photo::JobResult r = run_staged(*s.workers[slot], job, s.options, s.cancel_read.get());

  lock.lock();
  s.idle.push_back(slot);
  lock.unlock();
  s.freed.notify_one();
  return r;
}

void Pool::cancel() {
  State &s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.cancelled) return;
    s.cancelled = true;
    const char byte = 1;
    if (s.cancel_write && write(s.cancel_write.get(), &byte, 1) != 1) {
      // Nothing to do: running jobs then end by their timeout.
    }
  }
  s.freed.notify_all();
}

} // namespace tavrin::jobs

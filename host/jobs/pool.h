// Runs jobs in isolated worker processes (this program re-executed in its
// hidden worker mode), so a plug-in call that crashes, hangs or runs out of
// memory fails its own job and nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "photo/job.h"

namespace tavrin::jobs {

struct PoolOptions {
  std::string program;          // this program, started as the workers
  int workers = 1;              // at most this many calls at once
  double timeout_seconds = 60;  // per job; a job over it is killed and failed
  uint64_t memory_limit = 0;    // address space per worker in bytes; 0: default_memory_limit()
};

class Pool {
public:
  explicit Pool(const PoolOptions &options);
  ~Pool();                      // stops every worker
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;

  // Runs `job` in a worker and waits for it; the plug-in's console lines are
  // captured in the result. The output appears at job.output only complete:
  // the worker writes into a private folder beside it, removed on every path. Safe to call from many threads: at most
  // `workers` jobs run, the rest wait here for a free worker.
  photo::JobResult run(const photo::Job &job);

  // Kills running workers (their jobs fail) and makes every later run()
  // fail at once. For Ctrl-C and server shutdown.
  void cancel();

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace tavrin::jobs

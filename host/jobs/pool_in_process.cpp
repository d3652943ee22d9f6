// Where worker processes are not built (Windows): runs each job in this
// process, one at a time. A crashing plug-in takes the program with it.
#include "jobs/pool.h"

#include <mutex>

#include "photo/pipeline.h"

namespace tavrin::jobs {

struct Pool::State {
  std::mutex one_at_a_time;
  bool cancelled = false;
};

Pool::Pool(const PoolOptions &) : state_(std::make_unique<State>()) {}
Pool::~Pool() = default;

photo::JobResult Pool::run(const photo::Job &job) {
  std::lock_guard<std::mutex> lock(state_->one_at_a_time);
  if (state_->cancelled) {
    photo::JobResult r;
    r.error = job.input + ": cancelled";
    return r;
  }
  return photo::run_job(job, photo::RunOptions{true});
}

void Pool::cancel() { state_->cancelled = true; }

} // namespace tavrin::jobs

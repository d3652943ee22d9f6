// What the server answers: the page, /api/effects, /healthz and
// /api/apply/{effect}. Every plug-in call goes to the job pool; nothing of a
// request outlives its answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "photo/job.h"
#include "server/admission.h"
#include "server/upload_area.h"

namespace httplib {
class Server;
}

namespace tavrin::server {

// Runs one job to its end: jobs::Pool::run, in the program (so plug-in calls
// happen in worker processes, never in the server's own).
using JobRunner = std::function<photo::JobResult(const photo::Job &)>;

// What the routes act on; owned by the server for its whole run.
struct Service {
  JobRunner run_job;
  const UploadArea &uploads;
  Admission &admission;
  std::string plugin_dir;
  uint64_t max_upload_bytes = 0;
  photo::Limits limits;
  std::atomic<bool> stopping{false}; // set on SIGINT/SIGTERM: new work gets 503
};

// Seconds a client is asked to wait after a 503.
inline constexpr int kRetryAfterSeconds = 2;

void add_routes(httplib::Server &http, Service &service);

// The HTTP status for a job's result: 200 when written, else by its error kind.
int http_status(const photo::JobResult &result);

// Percent-encoding as JavaScript's decodeURIComponent undoes it, cut to
// `max_bytes` of the text: plug-in lines travel in a header.
std::string percent_encode(const std::string &text, size_t max_bytes = 4096);

} // namespace tavrin::server

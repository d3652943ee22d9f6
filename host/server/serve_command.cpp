// `tavrin serve`: the job pool (plug-in calls in worker processes) behind
// the HTTP server, until Ctrl-C or SIGTERM.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "cli/commands.h"
#include "console.h"

#if defined(TAVRIN_HAVE_SERVER)
#include "jobs/pool.h"
#include "server/http_server.h"
#endif

namespace tavrin::cli {

#if defined(TAVRIN_HAVE_SERVER)

int run_serve(const Options &o) {
  const ServeOptions &so = o.serve;
  const int jobs = so.jobs > 0 ? so.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  jobs::Pool pool(jobs::PoolOptions{o.program, jobs, so.timeout_seconds});

  server::ServerConfig config;
  config.host = so.host;
  config.port = so.port;
  config.jobs = jobs;
  config.max_upload_bytes = static_cast<uint64_t>(so.max_upload_mb * 1e6);
  config.limits = so.limits;
  config.plugin_dir = o.plugin_dir;
  server::HttpServer server(config, [&pool](const photo::Job &job) { return pool.run(job); });
  std::string why;
  if (!server.bind(why)) {
    print_error("tavrin: %s\n", why.c_str());
    return kExitFailed;
  }
  // The first line is the address alone, for scripts (and tests) that start the server.
  std::printf("Serving on %s\n", server.url().c_str());
  std::printf("%d call(s) at once, uploads up to %g MB; Ctrl-C stops.\n", jobs, so.max_upload_mb);
  if (so.host != "127.0.0.1" && so.host != "::1" && so.host != "localhost")
    std::printf("Note: listening on %s, not only on this machine's loopback address.\n", so.host.c_str());
  std::fflush(stdout);
  server::run_until_signalled(server, [&pool] { pool.cancel(); });
  std::printf("Stopped.\n");
  std::fflush(stdout);
  return kExitWritten;
}

#else

int run_serve(const Options &) {
  print_error("tavrin: this build has no server (it needs cpp-httplib and nlohmann-json)\n");
  return kExitUsage;
}

#endif

} // namespace tavrin::cli

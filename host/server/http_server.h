// The listener: cpp-httplib on the loopback address unless told otherwise,
// uploads capped before they are read whole, the same safety headers on
// every answer, a bounded queue in front of the job runner, and a stop that
// lets running requests finish.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "photo/job.h"
#include "server/routes.h"

namespace tavrin::server {

struct ServerConfig {
  std::string host = "127.0.0.1";
  int port = 8080;                 // 0: any free port (see HttpServer::port)
  int jobs = 1;                    // calls at once, as the runner allows
  int max_waiting = 0;             // queued beyond those; 0: twice jobs, at least 4
  uint64_t max_upload_bytes = 50'000'000;
  photo::Limits limits;
  std::string plugin_dir;
};

class HttpServer {
public:
  HttpServer(const ServerConfig &config, JobRunner run_job);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Makes the upload folder and binds the socket. False with `why` on failure.
  bool bind(std::string &why);
  int port() const { return port_; }
  std::string url() const; // http://HOST:PORT/

  // Answers requests until stop(); returns once every running request is done.
  void run();
  // From any thread: new work gets 503 from now on.
  void begin_stop() { service_->stopping = true; }
  // From any thread: begin_stop(), and no new connections; run() returns
  // once the requests being handled are done. Answers still being sent are
  // cut short, so callers wait for active_requests() to reach 0 first.
  // False while the listener has not started yet (call again).
  bool stop();
  bool stopping() const { return service_->stopping; }
  // Apply requests between their headers and the end of their answer.
  int active_requests() const { return admission_->active(); }

private:
  struct Http;
  ServerConfig config_;
  std::unique_ptr<UploadArea> uploads_;
  std::unique_ptr<Admission> admission_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<Http> http_;
  int port_ = -1;
  std::mutex stop_mutex_;
  bool listener_stopped_ = false;
};

// Runs `server` until SIGINT or SIGTERM, then stops it; a second signal
// calls `cancel` (kills the running calls, so their requests fail at once).
void run_until_signalled(HttpServer &server, const std::function<void()> &cancel);

} // namespace tavrin::server

#include "server/http_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "console.h"

namespace tavrin::server {

namespace {

// Threads beyond the queue's places, for the page, /healthz, refusals and
// idle keep-alive connections, so those never wait behind plug-in calls.
constexpr int kSpareThreads = 16;

// Idle keep-alive connections hold a thread and delay a stop this long.
constexpr time_t kKeepAliveSeconds = 2;

void safety_headers(httplib::Response &res) {
  // The page's own files only; results are shown (and fetched back) from
  // the blob: URLs the page makes of them.
  res.set_header("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' blob:; connect-src 'self' blob:; object-src 'none'; base-uri 'none'; "
                 "form-action 'none'; frame-ancestors 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cache-Control", "no-store");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Cross-Origin-Resource-Policy", "same-origin");
}

void json_error(httplib::Response &res, const std::string &message) {
  const nlohmann::json body = {{"error", message}};
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

const char *status_text(int status) {
  switch (status) {
  case 400: return "bad request";
  case 404: return "not found";
  case 405: return "method not allowed";
  case 413: return "request too large";
  case 414: return "request line too long";
  case 416: return "range not satisfiable";
  default: return status >= 500 ? "server error" : "request refused";
  }
}

} // namespace

struct HttpServer::Http {
  httplib::Server server;
};

HttpServer::HttpServer(const ServerConfig &config, JobRunner run_job)
    : config_(config), uploads_(std::make_unique<UploadArea>()), http_(std::make_unique<Http>()) {
  config_.jobs = std::max(1, config_.jobs);
  const int waiting = config_.max_waiting > 0 ? config_.max_waiting : std::max(4, 2 * config_.jobs);
  admission_ = std::make_unique<Admission>(config_.jobs + waiting);
  service_.reset(new Service{std::move(run_job), *uploads_, *admission_, config_.plugin_dir,
                             config_.max_upload_bytes, config_.limits});

  httplib::Server &s = http_->server;
  const size_t threads = static_cast<size_t>(admission_->capacity() + kSpareThreads);
  s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  s.set_payload_max_length(config_.max_upload_bytes);
  s.set_keep_alive_timeout(kKeepAliveSeconds);
  s.set_post_routing_handler([](const httplib::Request &, httplib::Response &res) { safety_headers(res); });
  // httplib's own refusals (bad request line, unknown path, ...) answer in JSON too.
  s.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        json_error(res, status_text(res.status));
        return httplib::Server::HandlerResponse::Handled;
      }));
  s.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
    res.status = 500;
    json_error(res, "internal error");
  });
  add_routes(s, *service_);
}

HttpServer::~HttpServer() = default;

bool HttpServer::bind(std::string &why) {
  if (!uploads_->create(why)) return false;
  httplib::Server &s = http_->server;
  port_ = config_.port == 0 ? s.bind_to_any_port(config_.host)
                            : (s.bind_to_port(config_.host, config_.port) ? config_.port : -1);
  if (port_ <= 0) {
    why = "cannot listen on " + config_.host + " port " + std::to_string(config_.port);
    port_ = -1;
    return false;
  }
  return true;
}

std::string HttpServer::url() const {
  const bool v6 = config_.host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + config_.host + "]" : config_.host) + ":" + std::to_string(port_) + "/";
}

void HttpServer::run() { http_->server.listen_after_bind(); }

bool HttpServer::stop() {
  begin_stop();
  // Before listening has begun httplib's stop() would do nothing, and it
  // must not be called twice.
  std::lock_guard<std::mutex> lock(stop_mutex_);
  if (!listener_stopped_ && http_->server.is_running()) {
    http_->server.stop();
    listener_stopped_ = true;
  }
  return listener_stopped_;
}

namespace {

// The signal handler only writes the signal's number to a pipe; a thread
// reads it. Nothing is blocked, so worker processes inherit no signal mask.
int g_signal_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

} // namespace

void run_until_signalled(HttpServer &server, const std::function<void()> &cancel) {
  if (::pipe(g_signal_pipe) != 0) {
    server.run();
    return;
  }
  for (int fd : g_signal_pipe) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  struct sigaction action {}, old_int {}, old_term {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &old_int);
  sigaction(SIGTERM, &action, &old_term);

  std::atomic<bool> done{false};
  std::thread watcher([&] {
    int signals = 0;
    bool stop_sent = false;
    while (!done) {
      pollfd p{g_signal_pipe[0], POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        unsigned char byte;
        while (::read(g_signal_pipe[0], &byte, 1) == 1) {
          if (++signals == 1) {
            server.begin_stop();
            std::printf("Stopping: %d request(s) still running; a second Ctrl-C cancels them.\n",
                        server.active_requests());
            std::fflush(stdout);
          } else if (signals == 2) {
            std::printf("Cancelling the running calls.\n");
            std::fflush(stdout);
            if (cancel) cancel();
          }
        }
      }
      // Requests already in finish, answers included; then the listener goes.
      if (signals > 0 && !stop_sent && (server.active_requests() == 0 || signals > 1))
        stop_sent = server.stop();
    }
  });
  server.run();
  done = true;
  watcher.join();

  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  for (int &fd : g_signal_pipe) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace tavrin::server

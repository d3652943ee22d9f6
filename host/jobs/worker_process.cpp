#include "jobs/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "jobs/wire.h"
#include "plugins/registry.h"

extern char **environ;

namespace tavrin::jobs {

namespace {

using Clock = std::chrono::steady_clock;

// A memory file of exactly kConsoleCapBytes that can neither grow nor
// shrink: a plug-in that prints without end fills it and its further writes
// fail, where a growing file would fill the machine's memory. What a job
// printed is what lies before the shared write position.
UniqueFd console_file(const char *name) {
  UniqueFd fd(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (fd && (ftruncate(fd.get(), kConsoleCapBytes) != 0 ||
             fcntl(fd.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0))
    fd.reset();
  return fd;
}

// RAII for the two posix_spawn records.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;
};

// Waits up to `ms` for `pid` to end by itself; its wait status, or -1.
int wait_briefly(pid_t pid, int ms) {
  for (int waited = 0; waited <= ms; waited += 5) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

std::string seconds_text(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", s);
  return text;
}

} // namespace

uint64_t default_memory_limit(int workers) {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  const uint64_t physical = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
  const uint64_t floor = uint64_t{2} << 30;
  return std::max(floor, physical / static_cast<uint64_t>(std::max(1, workers)));
}

std::string death_reason(const std::string &effect, int status) {
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    // Nobody here sent it: the kernel's out-of-memory killer is what sends
    // SIGKILL unasked.
    if (sig == SIGKILL) return "ran out of memory (the system killed the worker process)";
    const char *name = strsignal(sig);
    return "the " + effect + " plug-in crashed (" + (name != nullptr ? name : "signal " + std::to_string(sig)) + ")";
  }
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    if (code == kWorkerOutOfMemory) return "ran out of memory";
    if (code == 127) return "the worker process could not be started";
    if (code == kWorkerBadSetup) return "the worker process could not read its job";
    return "the " + effect + " plug-in ended the process (exit status " + std::to_string(code) + ")";
  }
  return "the worker process ended";
}

bool WorkerProcess::start(std::string &why) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    why = std::strerror(errno);
    return false;
  }
  UniqueFd ours(pair[0]), theirs(pair[1]);
  UniqueFd out = console_file("tavrin-worker-stdout"), err = console_file("tavrin-worker-stderr");
  if (!out || !err) {
    why = std::string("no memory file for its console: ") + std::strerror(errno);
    return false;
  }

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, out.get(), 1);
  posix_spawn_file_actions_adddup2(&setup.actions, err.get(), 2);
  posix_spawn_file_actions_adddup2(&setup.actions, theirs.get(), kWorkerSocketFd);
  // Descriptors other threads opened without close-on-exec stay here.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, kWorkerSocketFd + 1);
  // Its own process group: Ctrl-C at the terminal reaches only us, and a
  // kill reaches anything the plug-in started.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setpgroup(&setup.attr, 0);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = settings_.program, mode = "__worker", flag = "--memory-limit",
              limit = std::to_string(settings_.memory_limit);
  char *argv[] = {program.data(), mode.data(), flag.data(), limit.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv, environ);
  if (rc != 0) {
    why = program + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  socket_ = std::move(ours);
  stdout_ = std::move(out);
  stderr_ = std::move(err);
  return true;
}

void WorkerProcess::stop() {
  if (pid_ > 0) kill_and_reap();
  socket_.reset();
}

int WorkerProcess::kill_and_reap() {
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  socket_.reset();
  return status;
}

void WorkerProcess::reset_console() {
  lseek(stdout_.get(), 0, SEEK_SET);
  lseek(stderr_.get(), 0, SEEK_SET);
}

std::string WorkerProcess::read_console(int fd) const {
  const off_t end = fd >= 0 ? lseek(fd, 0, SEEK_CUR) : 0;
  std::string text(static_cast<size_t>(std::clamp<off_t>(end, 0, kConsoleCapBytes)), '\0');
  size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = pread(fd, text.data() + have, text.size() - have, static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  text.resize(have);
  if (have == kConsoleCapBytes) text += "\n(the rest of this output was cut)\n";
  return text;
}

photo::JobResult WorkerProcess::run(const photo::Job &job, double timeout_seconds, int cancel_fd) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_seconds));
  photo::JobResult result;
  const std::vector<uint8_t> message = frame_job(job);
  // An idle worker may have died since its last job; a fresh one gets one try.
  bool sent = false;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    std::string why;
    if (!running() && !start(why)) {
      result.error = job.input + ": cannot start a worker process: " + why;
      return result;
    }
    reset_console();
    sent = send_all(socket_.get(), message.data(), message.size());
    if (!sent) stop();
  }
  if (!sent) {
    result.error = job.input + ": the worker process does not take jobs";
    return result;
  }

  enum class End { reply, closed, timeout, cancelled } end = End::closed;
  std::vector<uint8_t> reply;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      end = End::timeout;
      break;
    }
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    const int n = poll(fds, cancel_fd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (fds[0].revents != 0) {
      uint8_t block[4096];
      const ssize_t got = recv(socket_.get(), block, sizeof block, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) break;
      reply.insert(reply.end(), block, block + got);
      if (reply.size() >= 4) {
        const uint32_t length = frame_length(reply.data());
        if (length > kMaxMessageBytes) break;
        if (reply.size() >= 4 + static_cast<size_t>(length)) {
          end = End::reply;
          break;
        }
      }
      continue;
    }
    if (cancel_fd >= 0 && fds[1].revents != 0) {
      end = End::cancelled;
      break;
    }
  }

  std::optional<photo::JobResult> parsed;
  if (end == End::reply) {
    parsed = parse_result(reply.data() + 4, frame_length(reply.data()));
    if (parsed && reply.size() == 4 + static_cast<size_t>(frame_length(reply.data()))) {
      result = std::move(*parsed);
    } else {
      parsed.reset();
      kill_and_reap();
      result.error = job.input + ": the worker process sent a reply it cannot have meant";
      result.error_kind = photo::ErrorKind::crashed;
    }
  } else if (end == End::closed) {
    // It closed the socket: it has ended, or is about to; or the plug-in
    // closed descriptors it does not own.
    int status = wait_briefly(pid_, 1000);
    if (status >= 0) {
      pid_ = -1;
      socket_.reset();
      result.error = job.input + ": " + death_reason(job.effect, status);
    } else {
      kill_and_reap();
      result.error = job.input + ": the " + job.effect + " plug-in closed the worker's connection";
    }
    result.error_kind = photo::ErrorKind::crashed;
  } else if (end == End::timeout) {
    kill_and_reap();
    result.error = job.input + ": timed out after " + seconds_text(timeout_seconds) + " s";
    result.error_kind = photo::ErrorKind::timed_out;
  } else {
    kill_and_reap();
    result.cancelled = true;
    result.error = job.input + ": cancelled";
  }
  if (!parsed) result.outcome = photo::Outcome::failed;

  // The pipeline leaves the console alone in a worker; what the plug-in
  // printed is in the two memory files, even after a crash.
  if (result.plugin_stdout.empty()) result.plugin_stdout = read_console(stdout_.get());
  if (result.plugin_stderr.empty()) result.plugin_stderr = read_console(stderr_.get());
  const PluginInfo *plugin = find_plugin(job.effect);
  result.face_found = result.outcome == photo::Outcome::written && plugin != nullptr &&
                      reports_face(*plugin, result.plugin_stdout);
  return result;
}

} // namespace tavrin::jobs

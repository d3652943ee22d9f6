// The hidden worker mode: takes jobs from the parent over its socket, runs
// each through the photo path and answers with the result. Its standard
// output and error are two memory files the parent reads, so the plug-in's
// lines survive a crash and can never reach the socket.
#if defined(_WIN32)
#include "cli/commands.h"

namespace tavrin::cli {

int run_worker(const Options &) { return kExitUsage; }

} // namespace tavrin::cli
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "jobs/wire.h"
#include "photo/pipeline.h"

namespace tavrin::cli {

namespace {

// Well above anything the plug-in or the codecs open.
constexpr int kSocketFloor = 200;

bool read_exact(int fd, uint8_t *data, size_t size) {
  while (size > 0) {
    const ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// An address-space limit breaks AddressSanitizer (its shadow memory) and
// valgrind; there the worker runs without one.
bool memory_limit_works() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
  return false;
#endif
#endif
#if defined(__SANITIZE_THREAD__)
  return false;
#endif
  const char *preload = std::getenv("LD_PRELOAD");
  return preload == nullptr || std::strstr(preload, "vgpreload") == nullptr;
}

// An exception nothing caught (a plug-in's bad_alloc crossing its C export)
// ends the worker; the parent reads the status.
[[noreturn]] void on_terminate() {
  int status = EXIT_FAILURE;
  if (std::exception_ptr e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::bad_alloc &) {
      status = jobs::kWorkerOutOfMemory;
    } catch (...) {
    }
  }
  std::fflush(stdout);
  _exit(status);
}

photo::JobResult run_one(const photo::Job &job) {
  try {
    // The console is already captured: fds 1 and 2 are the parent's files.
    return photo::run_job(job, photo::RunOptions{false});
  } catch (const std::bad_alloc &) {
    photo::JobResult r;
    r.error = job.input + ": ran out of memory";
    return r;
  } catch (const std::exception &e) {
    photo::JobResult r;
    r.error = job.input + ": " + e.what();
    return r;
  }
}

} // namespace

int run_worker(const Options &o) {
  const int socket = fcntl(jobs::kWorkerSocketFd, F_DUPFD_CLOEXEC, kSocketFloor);
  if (socket < 0) return jobs::kWorkerBadSetup;
  close(jobs::kWorkerSocketFd);

  if (o.worker.memory_limit > 0 && memory_limit_works()) {
    const rlimit limit{o.worker.memory_limit, o.worker.memory_limit};
    setrlimit(RLIMIT_AS, &limit);
  }
  std::set_terminate(on_terminate);
  // Whole lines reach the parent's files even when the call then crashes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // When the parent goes away mid-job (it was killed), nobody will ever
  // read the result: end at once instead of finishing a hung call.
  std::thread([socket] {
    pollfd fd{socket, POLLRDHUP, 0};
    while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }).detach();

  std::vector<uint8_t> message;
  for (;;) {
    uint8_t header[4];
    if (!read_exact(socket, header, sizeof header)) return 0; // the parent closed: done
    const uint32_t length = jobs::frame_length(header);
    if (length > jobs::kMaxMessageBytes) return jobs::kWorkerBadSetup;
    message.resize(length);
    if (!read_exact(socket, message.data(), length)) return 0;
    const std::optional<photo::Job> job = jobs::parse_job(message.data(), message.size());
    if (!job) return jobs::kWorkerBadSetup;

    std::clearerr(stdout);
    std::clearerr(stderr);
    const photo::JobResult result = run_one(*job);
    std::fflush(stdout);
    std::fflush(stderr);
    const std::vector<uint8_t> reply = jobs::frame_result(result);
    if (!jobs::send_all(socket, reply.data(), reply.size())) return 0;
  }
}

} // namespace tavrin::cli
#endif

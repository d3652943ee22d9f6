#include "plugin_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_exit.h"
#include "plugins/registry.h"
#include "plugins/library.h"
#include "temp_dir.h"
#include "plugins/utf16.h"

namespace tavrin::test {

namespace {

constexpr uid_t kNobody = 65534;

#if !defined(TAVRIN_TEST_ASAN)
bool under_valgrind() {
  const char *preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}
#endif

// Bytes of address space the process uses now, or 0 when it cannot be told.
uint64_t address_space_in_use() {
  std::FILE *statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  unsigned long long pages = 0;
  const bool read = std::fscanf(statm, "%llu", &pages) == 1;
  std::fclose(statm);
  return read ? pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// Takes up the free blocks earlier tests left in the heap, largest first,
// each size until the heap has to grow for it: they would serve the call's
// blocks without new address space and widen the room it is given. The
// blocks stay taken; the child ends after the call.
void use_up_free_heap() {
  for (const size_t size : {size_t{1} << 20, size_t{64} << 10, size_t{4} << 10, size_t{256}, size_t{32}}) {
    for (;;) {
      const void *const end = sbrk(0);
      void *block = std::malloc(size);
      if (block == nullptr) return;
      if (sbrk(0) != end) {
        std::free(block);
        break;
      }
    }
  }
}

// Runs in the child just before the call. False when the setup failed.
bool apply_options(const RunOptions &options) {
  uint64_t cap = options.address_space_limit;
  if (options.address_space_headroom > 0) {
    // Blocks of up to a few MiB come from the heap while it is used up, and
    // large ones get fresh memory afterwards.
    if (mallopt(M_MMAP_THRESHOLD, 32 << 20) != 1) return false;
    use_up_free_heap();
    if (mallopt(M_MMAP_THRESHOLD, 128 << 10) != 1) return false;
    // The heap then grows by what each block needs, not by 128 KiB more
    // that would serve the next blocks.
    if (mallopt(M_TOP_PAD, 0) != 1) return false;
    malloc_trim(0);
    const uint64_t in_use = address_space_in_use();
    if (in_use == 0) return false;
    const uint64_t tight = in_use + options.address_space_headroom;
    cap = cap == 0 ? tight : std::min(cap, tight);
  }
  if (cap > 0 && address_space_limit_works()) {
    rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
  }
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return false;
    // Changing users makes the process undumpable, which would stop the
    // leak checker from inspecting it.
    prctl(PR_SET_DUMPABLE, 1);
  }
  return true;
}

// The call could not even be started: the running test fails with the
// reason, whatever the caller goes on to check.
RunResult setup_failed(const char *step, int error) {
  ADD_FAILURE() << "run_export: " << step << " failed: " << std::strerror(error);
  RunResult result;
  result.err = std::string(step) + " failed: " + std::strerror(error) + "\n";
  return result;
}

} // namespace

bool address_space_limit_works() {
#if defined(TAVRIN_TEST_ASAN)
  return false;
#else
  return !under_valgrind();
#endif
}

std::string plugin_library(const std::string &name) {
  const char *other = std::getenv("TAVRIN_PLUGIN_DIR");
  const std::string dir = other != nullptr && *other != 0 ? other : TAVRIN_PLUGIN_DIR;
  return dir + "/" + name + ".so";
}

RunResult run_export(const std::string &library, const char *symbol, const char16_t *input,
                     const char16_t *output, const RunOptions &options) {
  TempDir dir;
  const std::string out_path = dir.file("stdout"), err_path = dir.file("stderr");
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return setup_failed("pipe", errno);
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
  if (child < 0) {
    // No call was made; waiting on pid -1 would reap some other child.
    const int fork_error = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return setup_failed("fork", fork_error);
  }
  if (child == 0) {
    close(pipe_fds[0]);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    LoadedPlugin plugin;
    std::string error;
    if (!plugin.load(library, symbol, error)) {
      std::fprintf(stderr, "load failed: %s\n", error.c_str());
      std::fflush(stderr);
      _exit(3);
    }
    if (!apply_options(options)) {
      std::fprintf(stderr, "run options failed: %s\n", std::strerror(errno));
      std::fflush(stderr);
      _exit(5);
    }
    int32_t status = plugin.entry()(input, output);
    std::fflush(stdout);
    std::fflush(stderr);
    if (write(pipe_fds[1], &status, sizeof status) != sizeof status) exit_child(4);
    exit_child(0);
  }
  close(pipe_fds[1]);
  RunResult result;
  int32_t status = 0;
  bool got = read(pipe_fds[0], &status, sizeof status) == sizeof status;
  close(pipe_fds[0]);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  result.completed = got && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  result.status = status;
  auto text = [](const std::string &path) {
    std::vector<uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
  };
  result.out = text(out_path);
  result.err = text(err_path);
  return result;
}

RunResult run_export(const std::string &library, const char *symbol, const std::string &input,
                     const std::string &output, const RunOptions &options) {
  std::u16string in = argument_to_utf16(input), out = argument_to_utf16(output);
  return run_export(library, symbol, in.c_str(), out.c_str(), options);
}

} // namespace tavrin::test

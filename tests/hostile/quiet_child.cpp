#include "quiet_child.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_exit.h"
#include "temp_dir.h"

namespace tavrin::test {

std::string run_quietly(const std::function<std::string()> &body) {
  TempDir dir;
  const std::string console = dir.file("console");
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(fds[0]);
    int fd = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    std::string result = body();
    std::fflush(stdout);
    std::fflush(stderr);
    for (size_t done = 0; done < result.size();) {
      ssize_t n = write(fds[1], result.data() + done, result.size() - done);
      if (n <= 0) exit_child(4);
      done += static_cast<size_t>(n);
    }
    exit_child(0);
  }
  close(fds[1]);
  std::string result;
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) result.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return result;
  // A sanitizer's report, or else the last lines the child printed.
  const std::vector<uint8_t> bytes = read_file(console);
  std::string tail(bytes.begin(), bytes.end());
  size_t report = std::string::npos;
  for (const char *marker : {"==ERROR", "WARNING: ThreadSanitizer", "runtime error"})
    report = std::min(report, tail.find(marker));
  if (report != std::string::npos)
    tail.erase(0, tail.rfind('\n', report) + 1);
  else if (tail.size() > 2000)
    tail.erase(0, tail.size() - 2000);
  return result + "\nchild ended with " +
         (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                              : "exit status " + std::to_string(WEXITSTATUS(status))) +
         "; end of its console:\n" + tail;
}

} // namespace tavrin::test

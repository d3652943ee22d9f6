#include "program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "temp_dir.h"

namespace tavrin::test {

void let_crashes_through_sanitizers() {
  const char *old = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(old != nullptr ? old : "") + (old != nullptr && *old ? ":" : "") +
                              "handle_segv=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
}

pid_t start_program(const std::string &program, const std::vector<std::string> &args,
                    const std::string &out_file, const std::string &err_file) {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int wait_program(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProgramResult run_program(const std::vector<std::string> &args, const std::string &log_dir,
                          const std::string &program) {
  const std::string out = log_dir + "/stdout.log", err = log_dir + "/stderr.log";
  ProgramResult r;
  r.status = wait_program(start_program(program, args, out, err));
  const std::vector<uint8_t> o = read_file(out), e = read_file(err);
  r.out.assign(o.begin(), o.end());
  r.err.assign(e.begin(), e.end());
  return r;
}

} // namespace tavrin::test

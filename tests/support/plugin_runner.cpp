#include "plugin_runner.h"

#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plugin_loader.h"
#include "temp_dir.h"
#include "utf16.h"

namespace tavrin::test {

std::string plugin_library(const std::string &name) {
  return std::string(TAVRIN_PLUGIN_DIR) + "/" + name + ".so";
}

RunResult run_export(const std::string &library, const char *symbol, const char16_t *input,
                     const char16_t *output) {
  TempDir dir;
  const std::string out_path = dir.file("stdout"), err_path = dir.file("stderr");
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
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
    int32_t status = plugin.entry()(input, output);
    std::fflush(stdout);
    std::fflush(stderr);
    if (write(pipe_fds[1], &status, sizeof status) != sizeof status) _exit(4);
    _exit(0);
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
                     const std::string &output) {
  std::u16string in = argument_to_utf16(input), out = argument_to_utf16(output);
  return run_export(library, symbol, in.c_str(), out.c_str());
}

} // namespace tavrin::test

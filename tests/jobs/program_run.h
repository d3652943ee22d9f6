// Runs the tavrin program as a user would, its output going to files.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavrin::test {

struct ProgramResult {
  int status = -1; // exit status; 128 + signal when killed
  std::string out, err;
};

// Under AddressSanitizer its own SEGV handler would turn a plug-in's crash
// into an ordinary exit; this lets the signal through to the programs and
// workers the test starts, so they see what a user's build sees.
void let_crashes_through_sanitizers();

// Starts `program args...` with standard output and error into the two
// files (not a terminal) and standard input from /dev/null.
pid_t start_program(const std::string &program, const std::vector<std::string> &args,
                    const std::string &out_file, const std::string &err_file);

// Waits for `pid`; its exit status, or 128 + the signal that ended it.
int wait_program(pid_t pid);

// Starts, waits and reads both files (kept in `log_dir`).
ProgramResult run_program(const std::vector<std::string> &args, const std::string &log_dir,
                          const std::string &program = TAVRIN_HOST_PROGRAM);

} // namespace tavrin::test

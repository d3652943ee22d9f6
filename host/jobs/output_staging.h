// Where a worker writes a job's output: a private folder beside the output,
// so that only a complete file is ever renamed into place, and whatever a
// killed or crashed call left behind goes with the folder.
#pragma once

#include <string>

namespace tavrin::jobs {

class StagedOutput {
public:
  StagedOutput() = default;
  ~StagedOutput();          // removes the folder and anything left in it
  StagedOutput(const StagedOutput &) = delete;
  StagedOutput &operator=(const StagedOutput &) = delete;

  // Makes "<output's folder>/.tavrin-<pid>-<n>/". False, with the reason,
  // when it cannot.
  bool open(const std::string &output, std::string &why);
  // The path to hand the worker: same name as the output, inside the folder.
  const std::string &path() const { return path_; }
  // Moves the finished file onto the output. False, with the reason, when
  // it is not there or cannot be moved.
  bool commit(std::string &why);

private:
  std::string folder_, path_, output_;
};

} // namespace tavrin::jobs

// Files the photo path makes for itself and never leaves behind: the output
// staged beside its final name until it is complete, and the private
// pictures handed to the plug-in.
#pragma once

#include <string>

#include "jobs/unique_fd.h"

namespace tavrin::photo {

// A path by which a plug-in opens the file behind `fd`, with no name of the
// user's in it: /proc/self/fd/N. Empty where the system has no such paths.
std::string descriptor_path(int fd);

// Where an output is written before it takes the output's name. A regular
// (or missing) output is staged in its own folder: an unnamed file where the
// file system has them, else a hidden 0600 file that a Ctrl-C, SIGTERM or
// any failure removes. Any other output (a device, a pipe) is written to
// directly. Destroying an uncommitted StagedOutputFile leaves the output as
// it was.
class StagedOutputFile {
public:
  StagedOutputFile() = default;
  ~StagedOutputFile();
  StagedOutputFile(const StagedOutputFile &) = delete;
  StagedOutputFile &operator=(const StagedOutputFile &) = delete;

  bool open(const std::string &output, std::string &why);
  int fd() const { return fd_.get(); }
  // Gives the file the output's name (and an ordinary mode).
  bool commit(std::string &why);

private:
  jobs::UniqueFd fd_;
  std::string output_, dir_, named_; // named_: the hidden file's name, when it has one
  bool direct_ = false;
};

// A private scratch file for the plug-in: anonymous memory where the system
// has it, else a 0600 file in the temporary folder, gone with this object.
// `path()` opens the same file for the plug-in.
class PrivateFile {
public:
  PrivateFile() = default;
  ~PrivateFile();
  PrivateFile(const PrivateFile &) = delete;
  PrivateFile &operator=(const PrivateFile &) = delete;

  bool open(const char *label, std::string &why);
  int fd() const { return fd_.get(); }
  // How the plug-in opens it.
  std::string path() const { return named_.empty() ? descriptor_path(fd_.get()) : named_; }

private:
  jobs::UniqueFd fd_;
  std::string named_;
};

// True when `a` and `b` are the same file (both exist).
bool same_file(const std::string &a, const std::string &b);

} // namespace tavrin::photo

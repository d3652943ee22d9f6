#include "jobs/output_staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tavrin::jobs {

namespace {

std::atomic<unsigned long> next_folder{0};

} // namespace

StagedOutput::~StagedOutput() {
  if (folder_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

bool StagedOutput::open(const std::string &output, std::string &why) {
  const size_t slash = output.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : output.substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
  if (name.empty()) {
    why = "the output names a folder, not a file";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    char leaf[64];
    std::snprintf(leaf, sizeof leaf, "/.tavrin-%ld-%lu", static_cast<long>(getpid()), next_folder++);
    const std::string folder = (dir == "/" ? "" : dir) + leaf;
    if (mkdir(folder.c_str(), 0700) == 0) {
      folder_ = folder;
      path_ = folder + "/" + name;
      output_ = output;
      return true;
    }
    if (errno != EEXIST) {
      why = "cannot write in " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  why = "cannot make a staging folder in " + dir;
  return false;
}

bool StagedOutput::commit(std::string &why) {
  if (rename(path_.c_str(), output_.c_str()) != 0) {
    why = errno == ENOENT ? "the output was not written" : "cannot move the output into place: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

} // namespace tavrin::jobs

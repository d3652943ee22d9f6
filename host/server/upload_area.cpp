#include "server/upload_area.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::server {

namespace {

// mkdtemp makes the folder 0700.
std::string make_private_folder(const std::string &parent, const char *prefix) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

void remove_tree(const std::string &path) {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

} // namespace

UploadArea::~UploadArea() { remove_tree(path_); }

bool UploadArea::create(std::string &why) {
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) {
    why = "no temp folder: " + ec.message();
    return false;
  }
  path_ = make_private_folder(temp.string(), "tavrin-serve-");
  if (path_.empty()) {
    why = "cannot make a folder in " + temp.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

RequestFolder::RequestFolder(const UploadArea &area) : path_(make_private_folder(area.path(), "r")) {}

RequestFolder::~RequestFolder() { remove(); }

void RequestFolder::remove() {
  remove_tree(path_);
  path_.clear();
}

UploadFile::~UploadFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool UploadFile::open(const std::string &path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  return fd_ >= 0;
}

bool UploadFile::write(const char *data, size_t size) {
  while (!failed_ && size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return !failed_;
}

bool UploadFile::close() {
  if (fd_ < 0) return false;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed && !failed_;
}

} // namespace tavrin::server

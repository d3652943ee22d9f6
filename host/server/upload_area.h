// Where uploads wait for their job: one private folder (0700) per server
// under the system's temp folder, one private sub-folder per request, and
// files created 0600. A request's folder goes with everything in it (the
// photo path's own scraps included) when the request is done with it, and
// the server's folder when the server stops. Names are made here, never
// taken from a request.
#pragma once

#include <cstddef>
#include <string>

namespace tavrin::server {

class UploadArea {
public:
  UploadArea() = default;
  ~UploadArea();
  UploadArea(const UploadArea &) = delete;
  UploadArea &operator=(const UploadArea &) = delete;

  // Makes the folder under the temp folder (TMPDIR). False with `why` on failure.
  bool create(std::string &why);
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

// A request's own folder inside the area; removed with its contents.
class RequestFolder {
public:
  explicit RequestFolder(const UploadArea &area);
  ~RequestFolder();
  RequestFolder(const RequestFolder &) = delete;
  RequestFolder &operator=(const RequestFolder &) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string &path() const { return path_; }
  std::string file(const char *name) const { return path_ + "/" + name; }
  void remove(); // now rather than at the end of the scope

private:
  std::string path_;
};

// A new file written in pieces: created exclusively with mode 0600, never
// through a symbolic link.
class UploadFile {
public:
  UploadFile() = default;
  ~UploadFile();
  UploadFile(const UploadFile &) = delete;
  UploadFile &operator=(const UploadFile &) = delete;

  bool open(const std::string &path);
  bool write(const char *data, size_t size);
  bool close(); // false if any write or the close failed

private:
  int fd_ = -1;
  bool failed_ = false;
};

} // namespace tavrin::server

// `tavrin serve --port 0` as a child process with a private TMPDIR, for the
// API tests, and small loopback helpers.
#pragma once

#include <string>
#include <vector>

#include "temp_dir.h"

namespace tavrin::test {

class ServerProcess {
public:
  // Starts the server with `args` after `serve --port 0` and waits (bounded)
  // for its address line. Check ok() before use.
  explicit ServerProcess(const std::vector<std::string> &args = {});
  ~ServerProcess(); // stops it if still running

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string &tmpdir() const { return tmp_; } // the server's TMPDIR
  std::string output() const;                          // its standard output and error so far

  // Sends SIGTERM and waits (bounded) for the exit; the exit status, or -1
  // when it did not exit by itself or died by a signal.
  int stop();
  void signal(int sig);

  // Entries under TMPDIR's upload folder (the requests' folders and files), "" when empty.
  std::string leftovers() const;

private:
  TempDir dir_;
  std::string tmp_;
  int pid_ = -1;
  int port_ = -1;
  bool signalled_ = false; // a stop signal was sent: a second one would cancel
};

// Runs `argv` (argv[0] a path) with standard output and error into `log`;
// its exit status, or -1.
int run_program(const std::vector<std::string> &argv, const std::string &log);

// A raw loopback connection, for requests sent in pieces.
class RawConnection {
public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection &) = delete;
  RawConnection &operator=(const RawConnection &) = delete;

  bool ok() const { return fd_ >= 0; }
  bool send(const std::string &bytes);
  // Everything until the server closes or `timeout_seconds` of silence.
  std::string receive_all(int timeout_seconds = 30);
  // The status of the first answer in `reply`, or 0.
  static int status_of(const std::string &reply);

private:
  int fd_ = -1;
};

} // namespace tavrin::test

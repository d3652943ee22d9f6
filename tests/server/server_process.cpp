#include "server_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace tavrin::test {

namespace {

std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> out;
  for (std::string &s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int spawn(std::vector<std::string> argv, const std::string &log, const std::string &tmpdir) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e)
    if (std::string_view(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
  if (!tmpdir.empty()) env.push_back("TMPDIR=" + tmpdir);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  std::vector<char *> args = pointers(argv), envp = pointers(env);
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits up to `seconds` for `pid`; its exit status, -1 for a signal, -2 when still running.
int wait_for(int pid, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0) return -1;
    if (std::chrono::steady_clock::now() > end) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

} // namespace

ServerProcess::ServerProcess(const std::vector<std::string> &args) : tmp_(dir_.file("tmp")) {
  std::filesystem::create_directory(tmp_);
  std::vector<std::string> argv = {TAVRIN_HOST_PROGRAM, "serve", "--port", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = spawn(argv, dir_.file("log"), tmp_);
  if (pid_ < 0) return;
  // The first line is "Serving on http://127.0.0.1:PORT/".
  for (int i = 0; i < 500 && port_ < 0; ++i) {
    const std::string text = output();
    const size_t at = text.find("Serving on http://127.0.0.1:");
    const size_t end = text.find('\n', at);
    if (at != std::string::npos && end != std::string::npos) {
      port_ = std::atoi(text.c_str() + at + 28);
      break;
    }
    if (wait_for(pid_, 0) != -2) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && stop() < 0 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ServerProcess::output() const {
  const std::vector<uint8_t> bytes = read_file(dir_.file("log"));
  return std::string(bytes.begin(), bytes.end());
}

void ServerProcess::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
  signalled_ = signalled_ || sig == SIGTERM || sig == SIGINT;
}

int ServerProcess::stop() {
  if (pid_ <= 0) return -1;
  if (!signalled_) ::kill(pid_, SIGTERM);
  signalled_ = true;
  const int status = wait_for(pid_, 30);
  if (status != -2) pid_ = -1;
  return status < 0 ? -1 : status;
}

std::string ServerProcess::leftovers() const {
  std::string found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(tmp_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    // The server's own upload folder may stay while it runs; nothing in it may.
    if (it.depth() == 0 && it->is_directory() && it->path().filename().string().rfind("tavrin-serve-", 0) == 0)
      continue;
    found += it->path().string() + "\n";
  }
  return found;
}

int run_program(const std::vector<std::string> &argv, const std::string &log) {
  const int pid = spawn(argv, log, "");
  if (pid < 0) return -1;
  const int status = wait_for(pid, 60);
  if (status == -2) {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return status;
}

RawConnection::RawConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(const std::string &bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

std::string RawConnection::receive_all(int timeout_seconds) {
  std::string out;
  char buffer[65536];
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_seconds * 1000) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

int RawConnection::status_of(const std::string &reply) {
  if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12) return 0;
  return std::atoi(reply.c_str() + 9);
}

} // namespace tavrin::test

#include "photo/staging.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tavrin::photo {

namespace {

// Names a signal handler removes. The handler only reads the slots and
// calls unlink(), both safe in a handler; a slot is cleared before its
// string is freed.
constexpr size_t kSlots = 64;
std::array<std::atomic<const char *>, kSlots> g_named{};

constexpr std::array<int, 5> kCleanupSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
std::array<struct sigaction, kCleanupSignals.size()> g_previous{};

extern "C" void remove_staged_files(int sig) {
  for (auto &slot : g_named)
    if (const char *name = slot.load()) unlink(name);
  for (size_t i = 0; i < kCleanupSignals.size(); ++i) {
    if (kCleanupSignals[i] != sig) continue;
    const struct sigaction &old = g_previous[i];
    if ((old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
      old.sa_handler(sig); // somebody else's handler (the server's, the batch's) goes on as before
      return;
    }
    // Die of the signal as if nothing had caught it.
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

void install_cleanup() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (size_t i = 0; i < kCleanupSignals.size(); ++i) {
      struct sigaction old {};
      sigaction(kCleanupSignals[i], nullptr, &old);
      if ((old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_IGN) continue;
      if (old.sa_flags & SA_SIGINFO) continue; // not ours to wrap
      g_previous[i] = old;
      struct sigaction sa {};
      sa.sa_handler = remove_staged_files;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = SA_RESTART;
      sigaction(kCleanupSignals[i], &sa, nullptr);
    }
  });
}

// Registers `name` for removal by a signal; false when every slot is taken.
bool watch(const std::string &name) {
  install_cleanup();
  for (auto &slot : g_named) {
    const char *expected = nullptr;
    if (slot.compare_exchange_strong(expected, name.c_str())) return true;
  }
  return false;
}

void unwatch(const std::string &name) {
  for (auto &slot : g_named) {
    const char *expected = name.c_str();
    slot.compare_exchange_strong(expected, nullptr);
  }
}

std::atomic<unsigned long> g_counter{0};

// A hidden 0600 file next to `base`, its name in `named`.
int make_named(const std::string &dir, const std::string &leaf, std::string &named) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tavrin-%ld-%lu", static_cast<long>(getpid()), g_counter++);
    named = dir + "/." + leaf + suffix;
    if (!watch(named)) {
      errno = EMFILE;
      return -1;
    }
    const int fd = ::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    unwatch(named);
    if (errno != EEXIST) break;
  }
  named.clear();
  return -1;
}

// The mode a new file gets from this process's umask.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(022);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

} // namespace

std::string descriptor_path(int fd) {
  static const bool have_proc = access("/proc/self/fd", X_OK) == 0;
  return have_proc ? "/proc/self/fd/" + std::to_string(fd) : std::string();
}

bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {}, sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

StagedOutputFile::~StagedOutputFile() {
  fd_.reset();
  if (!named_.empty()) {
    unlink(named_.c_str());
    unwatch(named_);
  }
}

bool StagedOutputFile::open(const std::string &output, std::string &why) {
  new_file_mode(); // read the umask now, before any thread could race it
  output_ = output;
  struct stat st {};
  if (stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      why = "the output is a folder";
      return false;
    }
    fd_.reset(::open(output.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd_) {
      why = std::string("cannot write the output: ") + std::strerror(errno);
      return false;
    }
    direct_ = true;
    return true;
  }
  const size_t slash = output.rfind('/');
  dir_ = slash == std::string::npos ? "." : output.substr(0, slash == 0 ? 1 : slash);
  const std::string leaf = slash == std::string::npos ? output : output.substr(slash + 1);
  if (leaf.empty()) {
    why = "the output names a folder, not a file";
    return false;
  }
#if defined(O_TMPFILE)
  fd_.reset(::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
#endif
  if (!fd_) fd_.reset(make_named(dir_, leaf, named_));
  if (!fd_) {
    why = "cannot write in " + dir_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool StagedOutputFile::commit(std::string &why) {
  if (direct_) return true;
  struct stat old {};
  const mode_t mode = stat(output_.c_str(), &old) == 0 ? (old.st_mode & 07777) : new_file_mode();
  if (fchmod(fd_.get(), mode) != 0) {
    why = std::string("cannot set the output's mode: ") + std::strerror(errno);
    return false;
  }
  if (named_.empty()) {
    // The unnamed file gets a hidden name for the moment before the rename.
    const size_t slash = output_.rfind('/');
    const std::string leaf = slash == std::string::npos ? output_ : output_.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && named_.empty(); ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof suffix, ".tavrin-%ld-%lu", static_cast<long>(getpid()), g_counter++);
      std::string name = dir_ + "/." + leaf + suffix;
      if (!watch(name)) break;
      if (linkat(fd_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ||
          linkat(AT_FDCWD, descriptor_path(fd_.get()).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        named_ = std::move(name);
        break;
      }
      unwatch(name);
      if (errno != EEXIST) break;
    }
    if (named_.empty()) {
      why = "cannot name the output in " + dir_ + ": " + std::strerror(errno);
      return false;
    }
  }
  if (rename(named_.c_str(), output_.c_str()) != 0) {
    why = std::string("cannot move the output into place: ") + std::strerror(errno);
    return false;
  }
  unwatch(named_);
  named_.clear();
  return true;
}

PrivateFile::~PrivateFile() {
  fd_.reset();
  if (!named_.empty()) {
    unlink(named_.c_str());
    unwatch(named_);
  }
}

bool PrivateFile::open(const char *label, std::string &why) {
#if defined(__linux__)
  if (!descriptor_path(0).empty()) fd_.reset(memfd_create(label, MFD_CLOEXEC));
#endif
  if (!fd_) {
    const char *tmp = std::getenv("TMPDIR");
    fd_.reset(make_named(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", label, named_));
  }
  if (!fd_) {
    why = std::string("cannot make a private file: ") + std::strerror(errno);
    return false;
  }
  return true;
}

} // namespace tavrin::photo

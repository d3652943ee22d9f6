// The photo path: decode, a private BMP for the plug-in, the call, encode,
// rename. BMP in and BMP out hands the input to the plug-in untouched and
// keeps what it writes byte for byte.
#include "photo/pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "photo/codec.h"
#include "photo/private_bmp.h"
#include "photo/private_names.h"
#include "photo/sniff.h"
#include "photo/staging.h"
#include "plugins/library.h"
#include "plugins/utf16.h"

namespace tavrin::photo {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string errno_text() { return std::strerror(errno); }

// The fixed descriptors stay one process-wide pair, so calls take turns.
std::mutex g_call_mutex;

// Puts `fd` on `wanted` for the call when that number is free; otherwise
// the call uses `fd` itself (its lines then name that number).
class FixedDescriptor {
public:
  FixedDescriptor(int fd, int wanted) : fd_(fd) {
    if (fcntl(wanted, F_GETFD) == -1 && errno == EBADF && dup3(fd, wanted, O_CLOEXEC) == wanted) fd_ = owned_ = wanted;
  }
  ~FixedDescriptor() {
    if (owned_ >= 0) close(owned_);
  }
  FixedDescriptor(const FixedDescriptor &) = delete;
  FixedDescriptor &operator=(const FixedDescriptor &) = delete;
  int fd() const { return fd_; }

private:
  int fd_, owned_ = -1;
};

// Standard output and error into two memory files for the length of a call.
class ConsoleCapture {
public:
  ConsoleCapture() {
    std::string why;
    if (!out_.open("tavrin-stdout", why) || !err_.open("tavrin-stderr", why)) return;
    std::fflush(stdout);
    std::fflush(stderr);
    saved_out_.reset(fcntl(1, F_DUPFD_CLOEXEC, 3));
    saved_err_.reset(fcntl(2, F_DUPFD_CLOEXEC, 3));
    if (!saved_out_ || !saved_err_) return;
    active_ = dup2(out_.fd(), 1) == 1 && dup2(err_.fd(), 2) == 2;
  }
  ~ConsoleCapture() { finish(); }
  ConsoleCapture(const ConsoleCapture &) = delete;
  ConsoleCapture &operator=(const ConsoleCapture &) = delete;

  void finish() {
    if (saved_out_ && saved_err_) {
      std::fflush(stdout);
      std::fflush(stderr);
      dup2(saved_out_.get(), 1);
      dup2(saved_err_.get(), 2);
      saved_out_.reset();
      saved_err_.reset();
    }
  }
  std::string out() const { return read_all(out_.fd()); }
  std::string err() const { return read_all(err_.fd()); }
  bool active() const { return active_; }

private:
  static std::string read_all(int fd) {
    std::string text;
    if (fd < 0) return text;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd, buffer, sizeof buffer, at);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      at += n;
    }
    return text;
  }
  PrivateFile out_, err_;
  jobs::UniqueFd saved_out_, saved_err_;
  bool active_ = false;
};

bool copy_file(int from, int to, std::string &why) {
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t n = pread(from, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read the plug-in's picture: " + errno_text();
      return false;
    }
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        why = "cannot write the output: " + errno_text();
        return false;
      }
      done += w;
    }
    at += n;
  }
}

struct Failure {
  JobResult &r;
  JobResult &operator()(ErrorKind kind, const std::string &name, const std::string &why) {
    r.outcome = Outcome::failed;
    r.face_found = false;
    r.error_kind = kind;
    r.error = name + ": " + why;
    return r;
  }
};

} // namespace

JobResult run_job(const Job &job, const RunOptions &options) {
  const Clock::time_point start = Clock::now();
  JobResult result;
  Failure fail{result};
  LoadedPlugin loaded;
  if (!load_effect(job.effect, job.plugin_dir, loaded, result.error)) {
    result.outcome = Outcome::not_loadable;
    return result;
  }
  std::string why;

  const std::string format = format_for(job.encode.format.empty() ? job.output : job.encode.format);
  if (format.empty())
    return job.encode.format.empty()
               ? fail(ErrorKind::io_failed, job.output, "cannot tell the format from the name (add --format EXT)")
               : fail(ErrorKind::io_failed, job.output, "cannot write " + job.encode.format + " pictures");
  if (job.encode.quality < 1 || job.encode.quality > 100)
    return fail(ErrorKind::io_failed, job.output, "the quality must be 1 to 100");
  if (!job.in_place && same_file(job.input, job.output))
    return fail(ErrorKind::io_failed, job.input, "the output would replace the input (add --in-place to allow it)");

  jobs::UniqueFd input(open(job.input.c_str(), O_RDONLY | O_CLOEXEC));
  if (!input) return fail(ErrorKind::io_failed, job.input, "cannot open: " + errno_text());
  struct stat st {};
  if (fstat(input.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return fail(ErrorKind::not_a_picture, job.input, S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file");
  uint8_t head[32];
  const ssize_t head_size = pread(input.get(), head, sizeof head, 0);
  const char *type = head_size > 0 ? picture_type(head, static_cast<size_t>(head_size)) : nullptr;
  if (type == nullptr)
    return fail(ErrorKind::not_a_picture, job.input, "not a picture (JPEG, PNG, WebP, HEIC, AVIF, TIFF or BMP)");
  const bool bmp_in = std::strcmp(type, "bmp") == 0;

  // The picture for the plug-in.
  DecodedPhoto decoded;
  PrivateFile picture_in;
  if (bmp_in) {
    const std::optional<BmpSize> size = bmp_size(head, static_cast<size_t>(head_size));
    if (size && static_cast<uint64_t>(size->width) * static_cast<uint64_t>(size->height) > job.limits.max_pixels)
      return fail(ErrorKind::too_large, job.input, "more megapixels than allowed (--max-megapixels)");
  } else {
    ErrorKind kind = ErrorKind::none;
    if (!decode(input.get(), job.limits, type, decoded, kind, why)) return fail(kind, job.input, why);
    if (!picture_in.open("tavrin-in.bmp", why)) return fail(ErrorKind::io_failed, job.input, why);
    if (!write_plugin_bmp(decoded, picture_in.fd(), result.staging_ms, kind, why)) return fail(kind, job.input, why);
  }
  result.decode_ms = ms_since(start);

  StagedOutputFile staged;
  if (!staged.open(job.output, why)) return fail(ErrorKind::io_failed, job.output, why);
  // Without /proc the plug-in gets named private files, and a BMP output is
  // copied from one.
  const bool by_descriptor = !descriptor_path(0).empty();
  const bool plugin_writes_output = format == "bmp" && by_descriptor;
  PrivateFile picture_out;
  if (!plugin_writes_output && !picture_out.open("tavrin-out.bmp", why))
    return fail(ErrorKind::io_failed, job.output, why);

  {
    const Clock::time_point call = Clock::now();
    std::lock_guard<std::mutex> lock(g_call_mutex);
    const int in_fd = bmp_in ? input.get() : picture_in.fd();
    const int out_fd = plugin_writes_output ? staged.fd() : picture_out.fd();
    FixedDescriptor fixed_in(in_fd, kPluginInputFd), fixed_out(out_fd, kPluginOutputFd);
    std::string in_path = descriptor_path(fixed_in.fd()), out_path = descriptor_path(fixed_out.fd());
    if (!by_descriptor) {
      in_path = bmp_in ? job.input : picture_in.path();
      out_path = picture_out.path();
    }
    const std::u16string in16 = utf8_to_utf16(in_path), out16 = utf8_to_utf16(out_path);
    if (options.capture_console) {
      ConsoleCapture console;
      result.plugin_status = loaded.entry()(in16.c_str(), out16.c_str());
      console.finish();
      result.plugin_stdout = with_user_names(console.out(), job.input, job.output, in_path, out_path);
      result.plugin_stderr = with_user_names(console.err(), job.input, job.output, in_path, out_path);
    } else {
      result.plugin_status = loaded.entry()(in16.c_str(), out16.c_str());
      std::fflush(stdout);
      std::fflush(stderr);
    }
    result.plugin_ms = ms_since(call);
  }
  if (result.plugin_status != TAVRIN_STATUS_WRITTEN) {
    result.outcome = Outcome::failed;
    result.error_kind = ErrorKind::plugin_failed;
    result.total_ms = ms_since(start);
    return result;
  }

  const Clock::time_point encode_start = Clock::now();
  if (format == "bmp") {
    if (!plugin_writes_output && !copy_file(picture_out.fd(), staged.fd(), why))
      return fail(ErrorKind::io_failed, job.output, why);
  } else {
    Bmp24Rows rows;
    if (!rows.open(picture_out.fd(), why)) return fail(ErrorKind::plugin_failed, job.output, why);
    if (!encode_bmp(rows, bmp_in ? nullptr : &decoded, format, job.encode, staged.fd(), result.staging_ms, why))
      return fail(ErrorKind::io_failed, job.output, why);
  }
  if (!staged.commit(why)) return fail(ErrorKind::io_failed, job.output, why);
  result.encode_ms = ms_since(encode_start);
  result.outcome = Outcome::written;
  result.face_found = true;
  result.total_ms = ms_since(start);
  return result;
}

} // namespace tavrin::photo

#include "cli/progress_line.h"

#include <cmath>

namespace tavrin::cli {

namespace {

std::string clock_text(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

} // namespace

std::string progress_text(const ProgressCounts &c) {
  char text[160];
  const double rate = c.elapsed_seconds > 0 ? static_cast<double>(c.done) / c.elapsed_seconds : 0;
  const std::string left =
      c.done == 0 || rate <= 0 ? std::string("--:--") : clock_text(static_cast<double>(c.total - c.done) / rate);
  std::snprintf(text, sizeof text, "%zu/%zu done, %.1f files/s, %s left, %zu failed", c.done, c.total, rate,
                left.c_str(), c.failed);
  return text;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

ProgressLine::ProgressLine(std::FILE *out, bool live, bool every_file, size_t total)
    : out_(out), live_(live), every_file_(every_file), total_(total), start_(std::chrono::steady_clock::now()) {}

ProgressCounts ProgressLine::counts_locked() const {
  return {done_, total_, failed_,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()};
}

void ProgressLine::clear_locked() {
  if (shown_) std::fputs("\r\033[K", out_);
  shown_ = false;
}

void ProgressLine::draw_locked() {
  if (!live_) return;
  std::fputc('\r', out_);
  std::fputs(progress_text(counts_locked()).c_str(), out_);
  std::fputs("\033[K", out_);
  shown_ = true;
  std::fflush(out_);
}

void ProgressLine::print(const std::string &text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_locked();
  std::fputs(text.c_str(), out_);
  draw_locked();
  std::fflush(out_);
}

void ProgressLine::file_done(bool failed, const std::string &line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++done_;
  if (failed) ++failed_;
  clear_locked();
  if (every_file_) {
    std::fprintf(out_, "[%zu/%zu] %s\n", done_, total_, line.c_str());
  } else if (!live_ && total_ > 0 && (done_ * 10 / total_ != (done_ - 1) * 10 / total_ || done_ == total_)) {
    std::fprintf(out_, "%s\n", progress_text(counts_locked()).c_str());
  }
  draw_locked();
  std::fflush(out_);
}

void ProgressLine::refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  draw_locked();
}

void ProgressLine::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_locked();
  std::fflush(out_);
}

} // namespace tavrin::cli

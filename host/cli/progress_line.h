// The batch's console. On a terminal: the files' blocks scroll above one live
// line (done/total, files per second, time left, failures). Elsewhere: plain
// lines only, never a control character.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace tavrin::cli {

struct ProgressCounts {
  size_t done = 0, total = 0, failed = 0;
  double elapsed_seconds = 0;
};

// "37/120 done, 4.2 files/s, 0:20 left, 2 failed".
std::string progress_text(const ProgressCounts &counts);

// `text` with control characters (and C1 controls in UTF-8) replaced by
// '?', so a plug-in's line or a file name cannot drive the terminal.
// Newlines and tabs stay.
std::string printable(std::string_view text);

class ProgressLine {
public:
  // `live`: redraw one line in place (standard output is a terminal).
  // `every_file`: a plain line per file even off a terminal (--verbose).
  ProgressLine(std::FILE *out, bool live, bool every_file, size_t total);

  // Prints `text` (whole lines) above the live line.
  void print(const std::string &text);
  // Counts one file as ended; `line` is its one-line account for --verbose.
  void file_done(bool failed, const std::string &line);
  // Redraws the live line (the clock moved on).
  void refresh();
  // Takes the live line away, before the summary.
  void finish();

private:
  ProgressCounts counts_locked() const;
  void draw_locked();
  void clear_locked();

  std::mutex mutex_;
  std::FILE *out_;
  bool live_, every_file_;
  bool shown_ = false;
  size_t done_ = 0, failed_ = 0, total_;
  std::chrono::steady_clock::time_point start_;
};

} // namespace tavrin::cli

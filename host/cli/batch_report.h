// --report FILE.jsonl: one JSON object per input, each written and flushed
// as that input ends, so the file of a killed run is valid up to its last line.
#pragma once

#include <string>

#include "file_handle.h"

namespace tavrin::cli {

struct ReportEntry {
  std::string input;
  std::string output;        // empty: none (written as null)
  std::string status;        // "written", "failed", "skipped", "interrupted"
  std::string reason;        // for skipped: "not a picture", "output exists"
  bool face_found = false;
  std::string plugin_stdout; // split into "lines"
  std::string plugin_stderr; // split into "error_lines"
  double ms = 0;
  std::string error;         // empty: none (written as null)
};

// One line of JSON with its newline. Bytes that are not UTF-8 (paths may
// hold any) become U+FFFD.
std::string report_line(const ReportEntry &entry);

class ReportFile {
public:
  // Creates or empties `path`. False, with the reason, when it cannot.
  bool open(const std::string &path, std::string &why);
  bool is_open() const { return file_ != nullptr; }
  // Appends and flushes one entry. False when the write failed.
  bool write(const ReportEntry &entry);
  // Flushes and closes. False when anything written did not reach the file.
  bool close();

private:
  FileHandle file_;
  bool failed_ = false;
};

} // namespace tavrin::cli

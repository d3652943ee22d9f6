#include "cli/batch_report.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrin::cli {

namespace {

// Keys in the order written, for people reading the file.
using json = nlohmann::ordered_json;

json lines_of(const std::string &text) {
  json lines = json::array();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t cut = end;
    if (cut > start && text[cut - 1] == '\r') --cut;
    lines.push_back(text.substr(start, cut - start));
    start = end + 1;
  }
  return lines;
}

json text_or_null(const std::string &text) { return text.empty() ? json(nullptr) : json(text); }

} // namespace

std::string report_line(const ReportEntry &e) {
  json j = {{"input", e.input},
            {"output", text_or_null(e.output)},
            {"status", e.status},
            {"face_found", e.face_found},
            {"lines", lines_of(e.plugin_stdout)},
            {"error_lines", lines_of(e.plugin_stderr)},
            {"ms", std::round(e.ms * 10) / 10},
            {"error", text_or_null(e.error)}};
  if (!e.reason.empty()) j["reason"] = e.reason;
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ReportFile::open(const std::string &path, std::string &why) {
  file_ = open_file(path.c_str(), "wb");
  if (!file_) {
    why = std::strerror(errno);
    return false;
  }
  // Unbuffered: each line leaves in one write, so a killed run cuts no line
  // in half that an earlier flush had begun.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  return true;
}

bool ReportFile::write(const ReportEntry &entry) {
  if (!file_) return false;
  const std::string line = report_line(entry);
  const bool ok = std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size() &&
                  std::fflush(file_.get()) == 0;
  failed_ = failed_ || !ok;
  return ok;
}

bool ReportFile::close() {
  if (!file_) return !failed_;
  return close_file(file_) && !failed_;
}

} // namespace tavrin::cli

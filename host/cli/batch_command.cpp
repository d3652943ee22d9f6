// tavrin EFFECT --out-dir DIR INPUT...: plan every file first, then run the
// pictures through the worker pool, one runner thread per worker; each
// file's lines, report entry and progress are put out as it ends.
#if defined(_WIN32)
#include "cli/commands.h"
#include "console.h"

namespace tavrin::cli {

int run_batch(const Options &) {
  print_error("tavrin: --out-dir needs worker processes, which this Windows build lacks\n");
  return kExitUsage;
}

} // namespace tavrin::cli
#else
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/batch_report.h"
#include "cli/commands.h"
#include "cli/progress_line.h"
#include "console.h"
#include "jobs/pool.h"
#include "jobs/unique_fd.h"
#include "plugins/library.h"
#include "plugins/registry.h"

namespace tavrin::cli {

namespace {

constexpr size_t kFailuresListed = 20;

// Ctrl-C, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (so did the
// reader of our output) write a byte here; the main thread reads it and
// cancels the pool. Runner threads write 'd' when the last one is done.
std::atomic<int> wake_fd{-1};

void on_stop_signal(int) {
  const int fd = wake_fd.load();
  const char byte = 's';
  if (fd >= 0 && write(fd, &byte, 1) < 0) {
  }
}

// Installs the stop handlers for its lifetime.
class StopSignals {
public:
  explicit StopSignals(int fd) {
    wake_fd = fd;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &sa, &old_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    wake_fd = -1;
  }
  StopSignals(const StopSignals &) = delete;
  StopSignals &operator=(const StopSignals &) = delete;

private:
  static constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  std::array<struct sigaction, 4> old_{};
};

struct Tally {
  size_t written = 0, without_face = 0, not_pictures = 0, existing = 0, interrupted = 0;
  std::vector<std::string> failures; // "input: reason", in the order they ended
};

// The reason a job failed, naming the file.
std::string failure_reason(const BatchItem &item, const photo::JobResult &r, const std::string &effect) {
  if (!r.error.empty()) return r.error;
  // The plug-in said no; its last complaint says why.
  std::string last;
  size_t start = 0;
  const std::string &err = r.plugin_stderr;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    if (end > start) last = err.substr(start, end - start);
    start = end + 1;
  }
  return item.input + ": the " + effect + " plug-in failed" + (last.empty() ? "" : " (" + last + ")");
}

std::string block_of(const BatchItem &item, const photo::JobResult &r, const std::string &failure) {
  std::string block = "== " + item.input + " ==\n";
  for (const std::string *text : {&r.plugin_stdout, &r.plugin_stderr}) {
    block += *text;
    if (!text->empty() && text->back() != '\n') block += '\n';
  }
  if (!failure.empty()) block += "failed: " + failure + "\n";
  return printable(block);
}

class Batch {
public:
  Batch(const Options &o, BatchPlan plan) : o_(o), a_(o.apply), plan_(std::move(plan)) {}
  int run();

private:
  void report(const ReportEntry &entry);
  void runner(jobs::Pool &pool);
  void finish_item(const BatchItem &item, const photo::JobResult &r, double ms);
  void print_summary(bool interrupted, size_t not_started) const;

  const Options &o_;
  const ApplyOptions &a_;
  BatchPlan plan_;
  std::vector<const BatchItem *> queue_;
  std::map<std::string, std::string> folder_errors_;
  std::atomic<size_t> next_{0}, started_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<int> runners_left_{0};
  int done_fd_ = -1;
  std::mutex mutex_; // tally_, report_
  Tally tally_;
  ReportFile report_;
  bool report_failed_ = false;
  std::unique_ptr<ProgressLine> progress_;
};

void Batch::report(const ReportEntry &entry) {
  if (report_.is_open() && !report_.write(entry) && !report_failed_) {
    report_failed_ = true;
    print_error("tavrin: cannot write the report %s\n", a_.report.c_str());
  }
}

void Batch::finish_item(const BatchItem &item, const photo::JobResult &r, double ms) {
  const bool written = r.outcome == photo::Outcome::written;
  const std::string failure = written || r.cancelled ? "" : failure_reason(item, r, a_.effect);
  ReportEntry entry{item.input, item.output, written ? "written" : r.cancelled ? "interrupted" : "failed", "",
                    r.face_found, r.plugin_stdout, r.plugin_stderr, ms, written ? "" : failure.empty() ? r.error : failure};
  std::lock_guard<std::mutex> lock(mutex_);
  report(entry);
  if (written) {
    ++tally_.written;
    if (!r.face_found) ++tally_.without_face;
  } else if (r.cancelled) {
    ++tally_.interrupted;
  } else {
    tally_.failures.push_back(failure);
  }
  if (r.cancelled) return;
  if (!a_.quiet) progress_->print(block_of(item, r, failure));
  std::string line = written ? "written " + item.input + " -> " + item.output + (r.face_found ? "" : " (no face found)")
                             : "failed " + failure;
  char took[32];
  std::snprintf(took, sizeof took, " in %.0f ms", ms);
  progress_->file_done(!written, printable(line + took));
}

void Batch::runner(jobs::Pool &pool) {
  for (;;) {
    const size_t i = next_++;
    if (i >= queue_.size() || stopping_) break;
    ++started_;
    const BatchItem &item = *queue_[i];
    const auto start = std::chrono::steady_clock::now();
    photo::JobResult r;
    const std::string folder = std::filesystem::path(item.output).parent_path().string();
    if (auto bad = folder_errors_.find(folder); bad != folder_errors_.end()) {
      r.error = item.input + ": cannot make the folder " + folder + ": " + bad->second;
    } else {
      photo::Job job;
      job.effect = a_.effect;
      job.input = item.input;
      job.output = item.output;
      job.plugin_dir = o_.plugin_dir;
      job.encode = a_.encode;
      job.limits = a_.limits;
      r = pool.run(job);
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    finish_item(item, r, ms);
  }
  if (--runners_left_ == 0) {
    const char byte = 'd';
    if (write(done_fd_, &byte, 1) < 0) {
    }
  }
}

void Batch::print_summary(bool interrupted, size_t not_started) const {
  const Tally &t = tally_;
  std::string text;
  if (interrupted) text += "Interrupted: " + std::to_string(t.interrupted + not_started) + " not done.\n";
  text += std::to_string(t.written) + " written";
  if (t.without_face > 0) text += " (" + std::to_string(t.without_face) + " without a face found)";
  const size_t skipped = t.not_pictures + t.existing;
  text += ", " + std::to_string(skipped) + " skipped";
  if (skipped > 0) {
    std::vector<std::string> why;
    if (t.not_pictures > 0)
      why.push_back(std::to_string(t.not_pictures) + (t.not_pictures == 1 ? " not a picture" : " not pictures"));
    if (t.existing > 0) why.push_back(std::to_string(t.existing) + " already written");
    text += " (" + why[0] + (why.size() > 1 ? ", " + why[1] : "") + ")";
  }
  text += ", " + std::to_string(t.failures.size()) + " failed.\n";
  for (size_t i = 0; i < t.failures.size() && i < kFailuresListed; ++i) text += "  " + t.failures[i] + "\n";
  if (t.failures.size() > kFailuresListed) {
    text += "  ... and " + std::to_string(t.failures.size() - kFailuresListed) + " more";
    text += a_.report.empty() ? " (--report FILE lists them all)\n" : ", all in " + a_.report + "\n";
  }
  if (plan_.folders_not_walked > 0)
    text += std::to_string(plan_.folders_not_walked) + " sub-folders were not walked (-r walks them).\n";
  std::fputs(printable(text).c_str(), stdout);
  std::fflush(stdout);
}

int Batch::run() {
  if (!a_.report.empty()) {
    std::string why;
    if (!report_.open(a_.report, why)) {
      print_error("tavrin: cannot write the report %s: %s\n", a_.report.c_str(), why.c_str());
      return kExitUsage;
    }
  }
  std::set<std::string> folders;
  for (const BatchItem &item : plan_.items) {
    switch (item.state) {
    case ItemState::run:
      queue_.push_back(&item);
      folders.insert(std::filesystem::path(item.output).parent_path().string());
      break;
    case ItemState::not_a_picture:
      ++tally_.not_pictures;
      report({item.input, "", "skipped", "not a picture", false, "", "", 0, ""});
      break;
    case ItemState::exists:
      ++tally_.existing;
      report({item.input, item.output, "skipped", "output exists", false, "", "", 0, ""});
      break;
    case ItemState::unreadable:
      tally_.failures.push_back(item.input + ": " + item.why);
      report({item.input, "", "failed", "", false, "", "", 0, item.input + ": " + item.why});
      break;
    }
  }
  for (const std::string &folder : folders) {
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    if (ec) folder_errors_[folder] = ec.message();
  }

  const bool live = isatty(STDOUT_FILENO) == 1;
  progress_ = std::make_unique<ProgressLine>(stdout, live, a_.verbose, queue_.size());
  for (const std::string &failure : tally_.failures) progress_->print(printable("failed: " + failure + "\n"));

  bool interrupted = false;
  if (!queue_.empty()) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      print_error("tavrin: cannot make a pipe\n");
      return kExitFailed;
    }
    jobs::UniqueFd wake_read(fds[0]), wake_write(fds[1]);
    done_fd_ = wake_write.get();
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int workers = static_cast<int>(std::min<size_t>(static_cast<size_t>(a_.jobs > 0 ? a_.jobs : cores), queue_.size()));
    jobs::Pool pool({o_.program, workers, a_.timeout_seconds});
    StopSignals signals(wake_write.get());
    runners_left_ = workers;
    std::vector<std::thread> runners;
    for (int i = 0; i < workers; ++i) runners.emplace_back([this, &pool] { runner(pool); });
    progress_->refresh();
    for (bool done = false; !done;) {
      pollfd fd{wake_read.get(), POLLIN, 0};
      const int n = poll(&fd, 1, live ? 1000 : -1);
      if (n == 0) progress_->refresh();
      if (n <= 0) continue;
      char byte = 0;
      if (read(wake_read.get(), &byte, 1) != 1) continue;
      if (byte == 'd') done = true;
      if (byte == 's' && !interrupted) {
        interrupted = true;
        stopping_ = true;
        pool.cancel();
      }
    }
    for (std::thread &t : runners) t.join();
  }
  progress_->finish();
  const size_t not_started = interrupted ? queue_.size() - started_ : 0;
  print_summary(interrupted, not_started);
  if (report_.is_open() && !report_.close() && !report_failed_)
    print_error("tavrin: cannot write the report %s\n", a_.report.c_str());
  if (interrupted) return kExitInterrupted;
  return tally_.failures.empty() ? kExitWritten : kExitFailed;
}

} // namespace

int run_batch(const Options &o) {
  const ApplyOptions &a = o.apply;
  if (a.files.empty()) {
    print_error("tavrin: --out-dir needs at least one input file or folder\nTry 'tavrin --help'.\n");
    return kExitUsage;
  }
  if (find_plugin(a.effect) == nullptr) {
    print_error("tavrin: unknown effect %s\n", a.effect.c_str());
    return kExitUsage;
  }
  // A plug-in that cannot load would fail every file the same way.
  std::string why;
  if (LoadedPlugin probe; !probe.load(plugin_path(o.plugin_dir, *find_plugin(a.effect)), find_plugin(a.effect)->symbol, why)) {
    print_error("tavrin: cannot load the %s plug-in: %s\n", a.effect.c_str(), why.c_str());
    return kExitUsage;
  }
  BatchPlan plan = plan_batch({a.files, a.out_dir, a.encode.format, a.recursive, a.skip_existing});
  if (!plan.conflicts.empty()) {
    for (const std::string &c : plan.conflicts) print_error("tavrin: %s\n", printable(c).c_str());
    print_error("tavrin: nothing was written\n");
    return kExitUsage;
  }
  Batch batch(o, std::move(plan));
  return batch.run();
}

} // namespace tavrin::cli
#endif

// The command line, parsed once (CLI11) into plain records; commands never
// look at argv themselves.
#pragma once

#include <string>
#include <vector>

#include "photo/job.h"

namespace tavrin::cli {

inline constexpr int kExitWritten = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// `tavrin EFFECT IN OUT` and `tavrin EFFECT --out-dir DIR INPUT...`.
struct ApplyOptions {
  std::string effect;
  std::vector<std::string> files; // IN OUT, or the batch's inputs
  photo::EncodeOptions encode;
  photo::Limits limits;
  bool in_place = false;
  // Batch only (when out_dir is set).
  std::string out_dir;
  bool recursive = false;
  bool skip_existing = false;
  int jobs = 0;                  // 0: the number of cores
  double timeout_seconds = 60;
  bool quiet = false;
  bool verbose = false;
  std::string report;            // JSON lines file, empty: none
};

struct DemoOptions {
  std::string out_dir = ".";
};

struct SheetOptions {
  std::string input, output;
  photo::EncodeOptions encode;
  photo::Limits limits;
};

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8080;
  int jobs = 0;                  // 0: the number of cores
  double max_upload_mb = 50;
  photo::Limits limits;
  double timeout_seconds = 60;
};

// The hidden worker mode, started by jobs::WorkerProcess.
struct WorkerOptions {
  uint64_t memory_limit = 0;     // address space in bytes; 0: none
};

enum class Command { none, help, version, apply, demo, sheet, serve, worker };

struct Options {
  Command command = Command::none;
  std::string plugin_dir;        // where plug-ins are; filled with the default after parsing
  std::string program;           // this program's own path, for worker processes
  ApplyOptions apply;
  DemoOptions demo;
  SheetOptions sheet;
  ServeOptions serve;
  WorkerOptions worker;
  std::string help_text;         // for Command::help
};

// Parses `args` (UTF-8, without the program name). On a wrong command line
// prints the reason and a hint on standard error and returns kExitUsage;
// otherwise fills `options` and returns -1.
int parse(const std::vector<std::string> &args, Options &options);

} // namespace tavrin::cli

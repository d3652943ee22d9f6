// One picture's worth of work, and what came of it. Every front end (the
// single-file command, the batch, the server, the benchmark) describes its
// work as Jobs and reads JobResults; only the photo path acts on them.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::photo {

struct EncodeOptions {
  std::string format; // output format by extension ("jpg", "png", ...); empty: the output's extension
  int quality = 90;   // 1-100, for lossy formats
  bool strip = false; // drop every metadata block (ICC, EXIF, XMP)
};

struct Limits {
  uint64_t max_pixels = 100'000'000; // refused from the header, before decoding
};

struct Job {
  std::string effect;     // command word from the plug-in table
  std::string input;      // the user's path, bytes as given
  std::string output;     // the user's path, bytes as given
  std::string plugin_dir; // folder of the plug-in libraries
  EncodeOptions encode;
  Limits limits;
  bool in_place = false;  // allow output == input
};

enum class Outcome {
  written,      // the output is in place (face found or not)
  failed,       // nothing written; `error` says why
  not_loadable, // the plug-in library could not be loaded (a set-up fault, exit 2)
};

// Why a job failed, for front ends that answer differently per cause (the
// server's 400 / 413 / 422 / 500). `none` when it did not fail or nobody
// said; a cancelled job says so in `cancelled`.
enum class ErrorKind {
  none,
  not_a_picture, // the input is not a picture the photo path reads
  too_large,     // over Limits (megapixels), refused from the header
  plugin_failed, // the plug-in returned 1
  crashed,       // the worker died during the call
  timed_out,     // the worker was killed after the timeout
  io_failed,     // a file could not be read or written (full disk, permissions)
};

struct JobResult {
  Outcome outcome = Outcome::failed;
  bool face_found = false;
  int32_t plugin_status = 0;  // what the export returned; 0 when it was not called
  std::string plugin_stdout;  // the plug-in's own console lines, when captured
  std::string plugin_stderr;
  std::string error;          // one line naming the file: "photo.jpg: not a picture"
  ErrorKind error_kind = ErrorKind::none;
  bool cancelled = false;     // stopped by Pool::cancel(), not by its own fault
  // decode and encode include the private BMPs; staging_ms is their share
  // (writing the plug-in's input, reading its output back).
  double decode_ms = 0, plugin_ms = 0, encode_ms = 0, staging_ms = 0, total_ms = 0;
};

} // namespace tavrin::photo

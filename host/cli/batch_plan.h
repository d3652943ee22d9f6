// What a batch will do, worked out before any work starts: every input file
// found, the output it maps to, and which are skipped. Collisions and
// outputs that would replace an input make the whole batch refuse.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrin::cli {

enum class ItemState {
  run,           // a picture to apply the effect to
  not_a_picture, // skipped: its content is no picture
  exists,        // skipped: --skip-existing and the output is there
  unreadable,    // failed before starting: missing, or a folder that cannot be read
};

struct BatchItem {
  std::string input;  // as found: "in/sub/x.jpg"
  std::string output; // "DIR/sub/x.jpg"; empty when there is none
  ItemState state = ItemState::run;
  std::string why;    // for unreadable
};

struct BatchRequest {
  std::vector<std::string> inputs; // files and folders
  std::string out_dir;
  std::string format;              // output extension; empty: the input's own
  bool recursive = false;
  bool skip_existing = false;
};

struct BatchPlan {
  std::vector<BatchItem> items;       // in a stable order: inputs as given, folders sorted
  std::vector<std::string> conflicts; // when not empty, nothing may start
  size_t folders_not_walked = 0;      // sub-folders left out without -r
};

BatchPlan plan_batch(const BatchRequest &request);

// "sub/x.jpg" with format "png" -> "sub/x.png"; a name without extension
// takes `fallback` (the type its content shows).
std::string output_name(const std::string &relative, const std::string &format, const char *fallback);

} // namespace tavrin::cli

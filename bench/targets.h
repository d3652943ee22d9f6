// The figures the speed targets are stated in: every plug-in against the copy
// floor on a 4096 x 4096 photo, each call in a host process of its own, and
// the sunglasses against their plain eye search at 1024 x 1024.
#pragma once

#include <string>
#include <vector>

#include "tavrin/plugin_table.h"

namespace tavrin::bench {

struct TargetRun {
  std::vector<const PluginInfo *> plugins;
  std::string plugin_dir; // where the plug-ins are
  std::string bench_dir;  // where tavrin_bench_host and the copy module are
  std::string work_dir;   // pictures and outputs go here
  bool keep = false;      // leave them there
  int runs = 3;
  bool plain = true;      // also the 1024 x 1024 plain search (about 10 s)
};

// Prints the table; false when a picture could not be written or the copy
// floor could not be measured.
bool run_targets(const TargetRun &run);

} // namespace tavrin::bench

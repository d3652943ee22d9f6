#include "cli/commands.h"
#include "console.h"

namespace tavrin::cli {

int run_batch(const Options &) {
  print_error("tavrin: --out-dir is not built yet\n");
  return kExitUsage;
}

} // namespace tavrin::cli

#include "cli/commands.h"
#include "console.h"

namespace tavrin::cli {

int run_serve(const Options &) {
  print_error("tavrin: serve is not built yet\n");
  return kExitUsage;
}

} // namespace tavrin::cli

#include "cli/commands.h"

namespace tavrin::cli {

int run_worker(const Options &) { return kExitUsage; }

} // namespace tavrin::cli

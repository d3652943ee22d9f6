// Each command turns options into jobs, runs them and maps the results to an
// exit status.
#pragma once

#include "cli/options.h"

namespace tavrin::cli {

int run_apply(const Options &options);  // one file, or a batch with --out-dir
int run_batch(const Options &options);
int run_demo(const Options &options);
int run_sheet(const Options &options);
int run_serve(const Options &options);
int run_worker(const Options &options); // hidden: serves jobs for a parent process

} // namespace tavrin::cli

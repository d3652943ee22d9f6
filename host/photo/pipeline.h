// The one photo path: decode the input, hand the plug-in a private 24-bit
// BMP, call its export, read its BMP back, encode the output, rename it into
// place. Prints nothing; everything it has to say is in the JobResult.
#pragma once

#include "photo/job.h"

namespace tavrin::photo {

struct RunOptions {
  // Catch the plug-in's console lines in the result (worker processes do);
  // otherwise they go straight to this process's standard output and error.
  bool capture_console = false;
};

JobResult run_job(const Job &job, const RunOptions &options = {});

} // namespace tavrin::photo

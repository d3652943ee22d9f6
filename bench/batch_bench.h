// tavrin_bench --batch: files per second of the batch mode at -j1 and -j2
// on a folder of photo-sized pictures, and its overhead per file over
// calling the photo path directly.
#pragma once

namespace tavrin::bench {

// Takes the arguments after "--batch"; returns the exit status.
int run_batch_bench(int argc, char **argv);

} // namespace tavrin::bench

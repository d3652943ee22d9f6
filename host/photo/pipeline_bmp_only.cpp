// The photo path of builds without libvips (Windows): BMP only, the input
// goes to the plug-in as it is and the plug-in writes the output itself.
#include "photo/pipeline.h"

#include <chrono>
#include <cstdio>

#include "plugins/library.h"
#include "plugins/utf16.h"

namespace tavrin::photo {

JobResult run_job(const Job &job, const RunOptions &) {
  const auto start = std::chrono::steady_clock::now();
  JobResult result;
  LoadedPlugin loaded;
  if (!load_effect(job.effect, job.plugin_dir, loaded, result.error)) {
    result.outcome = Outcome::not_loadable;
    return result;
  }
  const std::u16string in = argument_to_utf16(job.input);
  const std::u16string out = argument_to_utf16(job.output);
  result.plugin_status = loaded.entry()(in.c_str(), out.c_str());
  std::fflush(stdout);
  result.outcome = result.plugin_status == TAVRIN_STATUS_WRITTEN ? Outcome::written : Outcome::failed;
  result.face_found = result.outcome == Outcome::written;
  result.total_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return result;
}

} // namespace tavrin::photo

// The sunglasses plug-in's pipeline with the plain eye search, for comparison.
#pragma once

#include <cstdint>

namespace tavrin::bench {

// Loads `input`, finds face and eyes scanning every window pair, draws and
// saves to `output`, all silently. Returns 999 when the output was written.
int32_t run_plain_sunglasses(const char *input, const char *output);

// The eye-pair search alone on `input`'s face region: the plain scan once and
// the search the plug-in runs, best of `runs`. False when the picture cannot
// be read or the two pairs differ.
bool time_eye_searches(const char *input, int runs, double &plain_ms, double &fast_ms);

} // namespace tavrin::bench

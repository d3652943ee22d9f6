// The sunglasses plug-in's pipeline with the plain eye search, for comparison.
#pragma once

#include <cstdint>

namespace tavrin::bench {

// Loads `input`, finds face and eyes scanning every window pair, draws and
// saves to `output`, all silently. Returns 999 when the output was written.
int32_t run_plain_sunglasses(const char *input, const char *output);

} // namespace tavrin::bench

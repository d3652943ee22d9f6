// Watches the plug-in's allocations (it allocates with nothrow new[]) so tests
// can tell how much a call asked for.
#pragma once

#include <cstddef>

namespace tavrin::test {

// Forgets what was seen so far.
void reset_allocation_probe();

// The largest single nothrow new[] request since the last reset.
size_t largest_allocation();

} // namespace tavrin::test

// Pixels of three bytes with the first and third byte exchanged: bitmap files
// store blue, green, red, and some plug-ins keep red, green, blue.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin {

// to[3i] = from[3i + 2], to[3i + 1] = from[3i + 1], to[3i + 2] = from[3i] for
// i < pixels. `to` may be `from` (in place); otherwise they must not overlap.
void swap_red_blue(uint8_t *to, const uint8_t *from, size_t pixels);

} // namespace tavrin

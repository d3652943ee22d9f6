#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin {

// A pixel buffer of `bytes`, released with std::free; null when the memory
// cannot be had. Buffers of 2 MiB and more ask for huge pages where the
// system offers them: faulting in fresh memory 4 KiB at a time costs about
// as much as reading the file. Such buffers are rounded up to whole huge
// pages (at most 2 MiB more). The hint changes no byte.
uint8_t *allocate_pixels(size_t bytes);

} // namespace tavrin

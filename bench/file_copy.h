// The floor any plug-in has to pay: read the whole file, write it back.
#pragma once

#include <cstdint>

namespace tavrin::bench {

// Reads a whole file into a fresh heap buffer and writes the same bytes to
// another. Returns 999 when both went through, as a plug-in does, else 1.
int32_t copy_file(const char *input, const char *output);

// The same through a buffer from allocate_pixels (huge pages, as the
// plug-ins' pictures): the floor without the cost of faulting in 4 KiB pages.
int32_t copy_file_huge_pages(const char *input, const char *output);

} // namespace tavrin::bench

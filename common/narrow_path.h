#pragma once

#include <string>

namespace tavrin {

// Converts a NUL-terminated UTF-16 path into the narrow form that fopen
// accepts: UTF-8 on POSIX systems, the active code page on Windows. The result
// holds the whole path, however long. A path that cannot be converted (a lone
// surrogate, say) yields an empty string, which then fails to open. On Windows
// a character outside the code page becomes '?', never a look-alike, so such a
// path fails to open instead of naming another file.
// `wide` must not be null.
std::string narrow_path(const char16_t *wide);

} // namespace tavrin

// The picture formats by name, for the command line, the server and the
// photo path alike.
#pragma once

#include <string>

namespace tavrin::photo {

// The format an extension or a file name names: "jpg", "png", "webp",
// "heic", "avif", "tif" or "bmp" (only "bmp" in a build without the photo
// path); empty when it names none this build writes.
std::string format_for(const std::string &name_or_extension);

// Whether `format` can carry an alpha channel.
bool format_has_alpha(const std::string &format);

} // namespace tavrin::photo

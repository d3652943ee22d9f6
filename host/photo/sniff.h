// Telling pictures from other files by their first bytes, not their names.
// Small on purpose: the codec tells for certain when it decodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrin::photo {

// The usual extension of the picture whose file starts with `head` ("bmp",
// "jpg", "png", "webp", "heic", "avif", "tif"), or null for anything else.
const char *picture_type(const uint8_t *head, size_t size);

// The same for the file at `path`; null also when it cannot be read.
const char *picture_type(const std::string &path);

inline bool looks_like_picture(const std::string &path) { return picture_type(path) != nullptr; }

} // namespace tavrin::photo

// Picture formats as the server names them: what this build's photo path
// reads and writes, names in ?format=, and the content types. (An upload's
// own format is told by photo::picture_type.)
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tavrin::server {

// Short names ("bmp", "png", "jpg", "webp", "heic", "avif", "tif").
std::span<const char *const> readable_formats();
std::span<const char *const> writable_formats();
bool reads(std::string_view format);
bool writes(std::string_view format);

// Bytes enough for photo::picture_type to tell a format by its signature.
inline constexpr size_t kSniffBytes = 16;

// "JPEG" -> "jpg", "tiff" -> "tif"; "" for a name we do not know.
std::string_view format_from_name(std::string_view name);

const char *content_type(std::string_view format);

} // namespace tavrin::server

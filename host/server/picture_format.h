// Picture formats as the server names them: what this build's photo path
// reads and writes, the format of an upload told from its first bytes (to
// answer in the same format by default), and the content types.
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

// Bytes enough to tell a format by its signature.
inline constexpr size_t kSniffBytes = 32;

// The format whose signature starts `head`, or "" for none we know. Only the
// signature: whether the rest is a picture is the photo path's call.
std::string_view sniff_format(std::string_view head);

// "JPEG" -> "jpg", "tiff" -> "tif"; "" for a name we do not know.
std::string_view format_from_name(std::string_view name);

const char *content_type(std::string_view format);

} // namespace tavrin::server

#include "server/picture_format.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tavrin::server {

namespace {

#if defined(TAVRIN_HAVE_PHOTO)
constexpr std::array<const char *, 7> kReads = {"jpg", "png", "webp", "heic", "avif", "tif", "bmp"};
constexpr std::array<const char *, 7> kWrites = kReads;
#else
// The stand-in photo path hands the upload to the plug-in as it is.
constexpr std::array<const char *, 1> kReads = {"bmp"};
constexpr std::array<const char *, 1> kWrites = {"bmp"};
#endif

struct Named {
  std::string_view name, format;
};
constexpr Named kNames[] = {{"bmp", "bmp"},   {"png", "png"},   {"jpg", "jpg"},   {"jpeg", "jpg"},
                            {"webp", "webp"}, {"heic", "heic"}, {"heif", "heic"}, {"avif", "avif"},
                            {"tif", "tif"},   {"tiff", "tif"}};

template <typename List> bool contains(const List &list, std::string_view format) {
  return std::any_of(list.begin(), list.end(), [&](const char *f) { return format == f; });
}

} // namespace

std::span<const char *const> readable_formats() { return kReads; }
std::span<const char *const> writable_formats() { return kWrites; }
bool reads(std::string_view format) { return contains(kReads, format); }
bool writes(std::string_view format) { return contains(kWrites, format); }

std::string_view format_from_name(std::string_view name) {
  if (name.size() > 8) return {};
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const Named &n : kNames)
    if (n.name == lower) return n.format;
  return {};
}

const char *content_type(std::string_view format) {
  if (format == "png") return "image/png";
  if (format == "jpg") return "image/jpeg";
  if (format == "webp") return "image/webp";
  if (format == "heic") return "image/heic";
  if (format == "avif") return "image/avif";
  if (format == "tif") return "image/tiff";
  if (format == "bmp") return "image/bmp";
  return "application/octet-stream";
}

} // namespace tavrin::server

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

bool starts(std::string_view head, std::string_view prefix, size_t at = 0) {
  return head.size() >= at + prefix.size() && head.substr(at, prefix.size()) == prefix;
}

} // namespace

std::span<const char *const> readable_formats() { return kReads; }
std::span<const char *const> writable_formats() { return kWrites; }
bool reads(std::string_view format) { return contains(kReads, format); }
bool writes(std::string_view format) { return contains(kWrites, format); }

std::string_view sniff_format(std::string_view head) {
  using namespace std::string_view_literals;
  if (starts(head, "BM")) return "bmp";
  if (starts(head, "\x89PNG\r\n\x1a\n"sv)) return "png";
  if (starts(head, "\xff\xd8\xff"sv)) return "jpg";
  if (starts(head, "RIFF") && starts(head, "WEBP", 8)) return "webp";
  if (starts(head, "II*\0"sv) || starts(head, "MM\0*"sv)) return "tif";
  if (starts(head, "ftyp", 4) && head.size() >= 12) {
    const std::string_view brand = head.substr(8, 4);
    if (brand == "avif" || brand == "avis") return "avif";
    for (std::string_view heic : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"})
      if (brand == heic) return "heic";
  }
  return {};
}

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

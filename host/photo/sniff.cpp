#include "photo/sniff.h"

#include <cstdio>
#include <cstring>

#include "file_handle.h"

namespace tavrin::photo {

namespace {

bool starts(const uint8_t *head, size_t size, size_t at, const char *magic, size_t n) {
  return size >= at + n && std::memcmp(head + at, magic, n) == 0;
}

// ISO base media files (HEIF, HEIC, AVIF) name their kind in the "ftyp" box.
const char *heif_type(const uint8_t *head, size_t size) {
  if (!starts(head, size, 4, "ftyp", 4)) return nullptr;
  if (starts(head, size, 8, "avif", 4) || starts(head, size, 8, "avis", 4)) return "avif";
  static const char *const brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"};
  for (const char *brand : brands)
    if (starts(head, size, 8, brand, 4)) return "heic";
  return nullptr;
}

} // namespace

const char *picture_type(const uint8_t *head, size_t size) {
  if (starts(head, size, 0, "BM", 2)) return "bmp";
  if (starts(head, size, 0, "\xFF\xD8\xFF", 3)) return "jpg";
  if (starts(head, size, 0, "\x89PNG\r\n\x1A\n", 8)) return "png";
  if (starts(head, size, 0, "RIFF", 4) && starts(head, size, 8, "WEBP", 4)) return "webp";
  if (starts(head, size, 0, "II*\0", 4) || starts(head, size, 0, "MM\0*", 4)) return "tif";
  return heif_type(head, size);
}

const char *picture_type(const std::string &path) {
  FileHandle file = open_file(path.c_str(), "rb");
  if (!file) return nullptr;
  uint8_t head[16];
  const size_t n = std::fread(head, 1, sizeof head, file.get());
  return picture_type(head, n);
}

} // namespace tavrin::photo

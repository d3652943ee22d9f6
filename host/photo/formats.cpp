#include "photo/formats.h"

#include <algorithm>
#include <cctype>

namespace tavrin::photo {

std::string format_for(const std::string &name_or_extension) {
  std::string ext = name_or_extension;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t dot = ext.rfind('.');
  const size_t slash = ext.find_last_of("/\\");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    ext.erase(0, dot + 1);
  else if (slash != std::string::npos || ext.size() > 5)
    return {};
#if defined(TAVRIN_HAVE_PHOTO)
  if (ext == "jpg" || ext == "jpeg" || ext == "jpe") return "jpg";
  if (ext == "tif" || ext == "tiff") return "tif";
  if (ext == "heic" || ext == "heif") return "heic";
  if (ext == "png" || ext == "webp" || ext == "avif") return ext;
#endif
  if (ext == "bmp") return ext;
  return {};
}

bool format_has_alpha(const std::string &format) {
  return format == "png" || format == "webp" || format == "heic" || format == "avif" || format == "tif";
}

} // namespace tavrin::photo

#include "narrow_path.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tavrin {

#if defined(_WIN32)

std::string narrow_path(const char16_t *wide) {
  size_t n = 0;
  while (wide[n] != 0) ++n;
  // Every UTF-16 unit becomes at most two bytes in a code page.
  std::string buffer(2 * (n + 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide), -1, buffer.data(),
                      static_cast<int>(buffer.size()), nullptr, nullptr);
  buffer.resize(buffer.find('\0'));
  return buffer;
}

#else

namespace {

void append_utf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

} // namespace

std::string narrow_path(const char16_t *wide) {
  std::string out;
  for (const char16_t *p = wide; *p != 0; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF) {
      char32_t low = p[1];
      if (low < 0xDC00 || low > 0xDFFF) return {};
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++p;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return {};
    }
    append_utf8(out, c);
  }
  return out;
}

#endif

} // namespace tavrin

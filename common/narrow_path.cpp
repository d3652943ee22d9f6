#include "narrow_path.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tavrin {

#if defined(_WIN32)

std::string narrow_path(const char16_t *wide) {
  // A character the code page lacks becomes '?', which no Windows file name
  // may hold, so that path fails to open. Best-fit mapping stays off: it would
  // turn "\u0101.bmp" into "a.bmp" and open, or overwrite, another file.
  // A UTF-8 code page holds every character and refuses both settings; there
  // only a broken surrogate fails, as on POSIX.
  const UINT page = GetACP();
  const bool utf8 = page == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const char *lost = utf8 ? nullptr : "?";
  // Asked first for the size, so no code page (UTF-8 included) can overflow it.
  const LPCWSTR source = reinterpret_cast<LPCWSTR>(wide);
  const int needed = WideCharToMultiByte(page, flags, source, -1, nullptr, 0, lost, nullptr);
  if (needed <= 0) return {};
  std::string buffer(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(page, flags, source, -1, buffer.data(), needed, lost, nullptr) <= 0)
    return {};
  buffer.resize(static_cast<size_t>(needed) - 1); // drop the terminator
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

#include "utf16.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tavrin {

#if defined(_WIN32)

std::u16string argument_to_utf16(const std::string &text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<LPWSTR>(out.data()), n);
  return out;
}

#else

std::u16string argument_to_utf16(const std::string &text) {
  std::u16string out;
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = byte(i);
    size_t extra = 0;
    char32_t c = lead;
    char32_t least = 0;
    bool ok = true;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        extra = 1, c = lead & 0x1F, least = 0x80;
      } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, c = lead & 0x0F, least = 0x800;
      } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, c = lead & 0x07, least = 0x10000;
      } else {
        ok = false;
      }
    }
    ok = ok && i + extra < text.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
      ok = (byte(i + k) & 0xC0) == 0x80;
      c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (!ok || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += extra + 1;
  }
  return out;
}

#endif

} // namespace tavrin

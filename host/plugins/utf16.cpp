#include "plugins/utf16.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tavrin {

std::u16string utf8_to_utf16(const std::string &text) {
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


std::string utf16_to_utf8(const std::u16string &text) {
  std::string out;
  const auto put = [&](char32_t c) {
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
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    put(c);
  }
  return out;
}

std::u16string argument_to_utf16(const std::string &text) { return utf8_to_utf16(text); }

#if defined(_WIN32)
std::string wide_to_utf8(const std::wstring &text) {
  return utf16_to_utf8(std::u16string(text.begin(), text.end()));
}
#endif

} // namespace tavrin

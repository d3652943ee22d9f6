// Text as the plug-ins take paths (UTF-16) and as the host keeps it (UTF-8).
#pragma once

#include <string>

namespace tavrin {

// Bytes that are not valid UTF-8 become U+FFFD.
std::u16string utf8_to_utf16(const std::string &text);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(const std::u16string &text);

// A command-line argument (UTF-8 on every platform: the Windows host reads
// its arguments wide and converts them) as a plug-in path.
std::u16string argument_to_utf16(const std::string &text);

#if defined(_WIN32)
std::string wide_to_utf8(const std::wstring &text);
#endif

} // namespace tavrin

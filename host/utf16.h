#pragma once

#include <string>

namespace tavrin {

// A command-line argument as the plug-ins take paths: UTF-16. On POSIX systems
// arguments arrive as UTF-8; bytes that are not valid UTF-8 become U+FFFD. On
// Windows they arrive in the active code page.
std::u16string argument_to_utf16(const std::string &text);

} // namespace tavrin

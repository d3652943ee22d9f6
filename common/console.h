#pragma once

namespace tavrin {

// Writes one problem line to standard error. Standard output is flushed first
// so that a log that combines both streams keeps the order of events.
void print_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

} // namespace tavrin

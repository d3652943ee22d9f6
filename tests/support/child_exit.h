#pragma once

// TAVRIN_TEST_ASAN is defined when the tests are built with AddressSanitizer,
// under GCC or Clang.
#if defined(__SANITIZE_ADDRESS__)
#define TAVRIN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIN_TEST_ASAN 1
#endif
#endif

namespace tavrin::test {

// Ends a forked test child at once with `status` (no exit handlers, nothing
// of the parent's flushed twice). Under AddressSanitizer it first runs the
// leak check that exit() would have run; a leak makes the status 6.
[[noreturn]] void exit_child(int status);

} // namespace tavrin::test

#include "child_exit.h"

#include <unistd.h>

#if defined(TAVRIN_TEST_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace tavrin::test {

void exit_child(int status) {
#if defined(TAVRIN_TEST_ASAN)
  if (status == 0 && __lsan_do_recoverable_leak_check() != 0) _exit(6);
#endif
  _exit(status);
}

} // namespace tavrin::test

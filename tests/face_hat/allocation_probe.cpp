#include "allocation_probe.h"

#include <atomic>
#include <new>

namespace {
std::atomic<size_t> g_largest{0};
}

// Forwards to the ordinary new[] so that the ordinary delete[] matches it.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  size_t seen = g_largest.load();
  while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
  }
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace tavrin::test {

void reset_allocation_probe() { g_largest = 0; }

size_t largest_allocation() { return g_largest.load(); }

} // namespace tavrin::test

#include "file_copy.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "file_handle.h"
#include "pixel_memory.h"

namespace tavrin::bench {

namespace {

struct FreeBytes {
  void operator()(uint8_t *p) const { std::free(p); }
};

int32_t copy_through(const char *input, const char *output, bool huge_pages) {
  FileHandle in = open_file(input, "rb");
  if (!in) return 1;
  const int64_t length = file_length(in.get());
  if (length < 0) return 1;
  // Not value-initialised: the pages are touched first by the read, as a
  // plug-in's picture buffer is.
  const size_t n = static_cast<size_t>(length);
  std::unique_ptr<uint8_t[], FreeBytes> bytes(huge_pages ? allocate_pixels(n)
                                                         : static_cast<uint8_t *>(std::malloc(n)));
  if (!bytes) return 1;
  if (std::fread(bytes.get(), 1, static_cast<size_t>(length), in.get()) != static_cast<size_t>(length))
    return 1;
  close_file(in);
  FileHandle out = open_file(output, "wb");
  if (!out) return 1;
  const bool ok = std::fwrite(bytes.get(), 1, static_cast<size_t>(length), out.get()) ==
                  static_cast<size_t>(length);
  return close_file(out) && ok ? 999 : 1;
}

} // namespace

int32_t copy_file(const char *input, const char *output) { return copy_through(input, output, false); }

int32_t copy_file_huge_pages(const char *input, const char *output) { return copy_through(input, output, true); }

} // namespace tavrin::bench

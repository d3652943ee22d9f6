#include "direct_rows.h"

#if !defined(_WIN32)

#include <cerrno>
#include <sys/uio.h>
#include <unistd.h>

namespace tavrin {

namespace {

// Entries per call; a row takes one or two (its padding).
constexpr int kBatch = 512;

// Moves everything `iov[0 .. n)` describes, however the calls split it.
// `transfer` moves what it can of the entries given and returns the count
// of bytes, 0 at the end of the file, or -1.
template <typename Transfer>
bool move_all(iovec *iov, int n, Transfer transfer) {
  while (n > 0) {
    const ssize_t moved = transfer(iov, n);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    size_t left = static_cast<size_t>(moved);
    while (n > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --n;
    }
    if (n > 0) {
      iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

} // namespace

bool read_rows_at(std::FILE *file, int64_t offset, uint8_t *pixels, size_t row_bytes, int32_t padding,
                  int32_t rows, bool top_down) {
  const int fd = fileno(file);
  if (fd < 0 || offset < 0) return false;
  uint8_t skipped[4];
  iovec iov[kBatch];
  off_t at = static_cast<off_t>(offset);
  for (int32_t k = 0; k < rows;) {
    int n = 0;
    for (; k < rows && n + 2 <= kBatch; ++k) {
      const size_t place = static_cast<size_t>(top_down ? k : rows - 1 - k);
      iov[n++] = iovec{pixels + place * row_bytes, row_bytes};
      if (padding != 0 && k != rows - 1) iov[n++] = iovec{skipped, static_cast<size_t>(padding)};
    }
    const bool read = move_all(iov, n, [fd, &at](const iovec *part, int count) {
      const ssize_t got = preadv(fd, part, count, at);
      if (got > 0) at += got;
      return got;
    });
    if (!read) return false;
  }
  return true;
}

bool write_rows_bottom_up(std::FILE *file, const uint8_t *header, size_t header_bytes, const uint8_t *pixels,
                          size_t row_bytes, int32_t padding, int32_t rows) {
  const int fd = fileno(file);
  if (fd < 0) return false;
  uint8_t zeros[4] = {};
  iovec iov[kBatch];
  int n = 0;
  iov[n++] = iovec{const_cast<uint8_t *>(header), header_bytes};
  for (int32_t k = 0; k < rows || n > 0;) {
    for (; k < rows && n + 2 <= kBatch; ++k) {
      const size_t place = static_cast<size_t>(rows - 1 - k);
      iov[n++] = iovec{const_cast<uint8_t *>(pixels) + place * row_bytes, row_bytes};
      if (padding != 0) iov[n++] = iovec{zeros, static_cast<size_t>(padding)};
    }
    if (!move_all(iov, n, [fd](const iovec *part, int count) { return writev(fd, part, count); })) return false;
    n = 0;
  }
  return true;
}

} // namespace tavrin

#endif

// Bitmap rows moved between a stream and a picture a few hundred KiB at a
// time: one system call per chunk instead of one per row, and the chunk stays
// in the cache while its rows are converted into (or out of) the picture.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

namespace tavrin {

inline constexpr size_t kRowChunkBytes = size_t{1} << 18;

// Whole rows per chunk: at least one, at most `rows`.
inline size_t rows_per_chunk(size_t stride, int64_t rows) {
  const size_t fit = std::max<size_t>(1, kRowChunkBytes / stride);
  return static_cast<size_t>(std::min<int64_t>(rows, static_cast<int64_t>(fit)));
}

enum class RowRead { kDone, kShort, kNoMemory };

// Reads `rows` rows of `stride` bytes and calls take(k, row) for row k of the
// file, in file order. kShort when the stream ends before the last row is
// whole (the whole rows before it have been taken), kNoMemory when no chunk
// buffer can be had (nothing read).
template <typename Take>
RowRead read_row_chunks(std::FILE *file, size_t stride, int64_t rows, Take take) {
  if (rows <= 0) return RowRead::kDone;
  const size_t per_chunk = rows_per_chunk(stride, rows);
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[per_chunk * stride]);
  if (!chunk) return RowRead::kNoMemory;
  for (int64_t k = 0; k < rows;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(rows - k, static_cast<int64_t>(per_chunk)));
    const size_t got = std::fread(chunk.get(), 1, n * stride, file);
    for (size_t r = 0; r < got / stride; ++r) take(k + static_cast<int64_t>(r), chunk.get() + r * stride);
    if (got != n * stride) return RowRead::kShort;
    k += static_cast<int64_t>(n);
  }
  return RowRead::kDone;
}

enum class RowWrite { kDone, kFailed, kNoMemory };

// Calls fill(k, row) for row k of the file, in file order, into a chunk whose
// rows are `stride` bytes and start zeroed past `row_bytes` (the padding stays
// zero as long as fill writes only the first `row_bytes`), and writes each
// chunk. kFailed as soon as a write comes back short.
template <typename Fill>
RowWrite write_row_chunks(std::FILE *file, size_t row_bytes, size_t stride, int64_t rows, Fill fill) {
  if (rows <= 0) return RowWrite::kDone;
  const size_t per_chunk = rows_per_chunk(stride, rows);
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[per_chunk * stride]);
  if (!chunk) return RowWrite::kNoMemory;
  if (stride != row_bytes)
    for (size_t r = 0; r < per_chunk; ++r) std::fill(chunk.get() + r * stride + row_bytes, chunk.get() + (r + 1) * stride, uint8_t{0});
  for (int64_t k = 0; k < rows;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(rows - k, static_cast<int64_t>(per_chunk)));
    for (size_t r = 0; r < n; ++r) fill(k + static_cast<int64_t>(r), chunk.get() + r * stride);
    if (std::fwrite(chunk.get(), 1, n * stride, file) != n * stride) return RowWrite::kFailed;
    k += static_cast<int64_t>(n);
  }
  return RowWrite::kDone;
}

} // namespace tavrin

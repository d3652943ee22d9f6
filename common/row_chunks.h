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

// Room for whole rows of `stride` bytes: as many as fit kRowChunkBytes, at
// least one, at most `rows`. Allocated apart from the transfer so each reader
// and writer keeps its own order of allocating and opening.
class RowChunk {
public:
  RowChunk(size_t stride, int64_t rows)
      : stride_(stride),
        rows_(static_cast<size_t>(std::clamp<int64_t>(static_cast<int64_t>(kRowChunkBytes / stride), 1,
                                                      std::max<int64_t>(rows, 1)))),
        bytes_(new (std::nothrow) uint8_t[rows_ * stride_]) {}
  bool ok() const { return bytes_ != nullptr; }
  size_t stride() const { return stride_; }
  size_t rows() const { return rows_; }
  uint8_t *row(size_t r) const { return bytes_.get() + r * stride_; }

private:
  size_t stride_, rows_;
  std::unique_ptr<uint8_t[]> bytes_;
};

// Reads `rows` rows and calls take(k, row) for row k of the file, in file
// order. False when the stream ends before the last row is whole (the whole
// rows before it have been taken).
template <typename Take>
bool read_row_chunks(std::FILE *file, const RowChunk &chunk, int64_t rows, Take take) {
  const size_t stride = chunk.stride();
  for (int64_t k = 0; k < rows;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(rows - k, static_cast<int64_t>(chunk.rows())));
    const size_t got = std::fread(chunk.row(0), 1, n * stride, file);
    for (size_t r = 0; r < got / stride; ++r) take(k + static_cast<int64_t>(r), chunk.row(r));
    if (got != n * stride) return false;
    k += static_cast<int64_t>(n);
  }
  return true;
}

// Calls fill(k, row) for row k of the file, in file order, which writes the
// first `row_bytes` of the row (the rest of the stride is written as zeros),
// and writes the rows a chunk at a time. False as soon as a write comes back
// short.
template <typename Fill>
bool write_row_chunks(std::FILE *file, const RowChunk &chunk, size_t row_bytes, int64_t rows, Fill fill) {
  const size_t stride = chunk.stride();
  for (size_t r = 0; r < chunk.rows(); ++r) std::fill(chunk.row(r) + row_bytes, chunk.row(r) + stride, uint8_t{0});
  for (int64_t k = 0; k < rows;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(rows - k, static_cast<int64_t>(chunk.rows())));
    for (size_t r = 0; r < n; ++r) fill(k + static_cast<int64_t>(r), chunk.row(r));
    if (std::fwrite(chunk.row(0), 1, n * stride, file) != n * stride) return false;
    k += static_cast<int64_t>(n);
  }
  return true;
}

} // namespace tavrin

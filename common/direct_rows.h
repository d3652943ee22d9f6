// Bitmap rows moved straight between a file and their places in a picture,
// with no stream buffer between them: the kernel copies each row once, a
// batch of rows per system call. Only where the system has scatter-gather
// file calls (kDirectRows); elsewhere callers keep their stream loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tavrin {

#if defined(_WIN32)
inline constexpr bool kDirectRows = false;
#else
inline constexpr bool kDirectRows = true;

// Reads `rows` rows of `row_bytes` bytes from byte `offset` of the file
// behind `file` (its stream position is not used), each row followed by
// `padding` bytes but the last, which may end the file without them. File row
// k goes to pixels + place * row_bytes, place = k when `top_down`, else
// rows - 1 - k. False when the file ends early or a read fails.
bool read_rows_at(std::FILE *file, int64_t offset, uint8_t *pixels, size_t row_bytes, int32_t padding,
                  int32_t rows, bool top_down);

// Writes `header`, then the picture's rows from the last to the first, each
// followed by `padding` zero bytes, at the stream's position; the stream
// must hold nothing buffered. False when a write fails.
bool write_rows_bottom_up(std::FILE *file, const uint8_t *header, size_t header_bytes, const uint8_t *pixels,
                          size_t row_bytes, int32_t padding, int32_t rows);
#endif

} // namespace tavrin

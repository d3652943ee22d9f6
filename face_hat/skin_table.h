// The hat's skin rule and the summed-area table of skin pixels that windows
// are counted on, kept only at the columns and rows the window search reads.
#pragma once

#include <cstdint>
#include <memory>

namespace tavrin::face_hat {

// The YCbCr rule, in double precision as written.
bool is_skin_ycbcr(uint8_t red, uint8_t green, uint8_t blue);

// Bit i of masks[k] is is_skin_ycbcr of pixel 16k + i among the `n` pixels
// (red, green, blue); bits past n are zero. Sixteen pixels at a time where
// the processor allows, with the rule's result for every colour.
void skin_masks(const uint8_t *rgb, int32_t n, uint16_t *masks);

// Cell (x, y) counts the skin pixels in columns 0..x and rows 0..y. Only the
// cells of kept columns and kept rows are stored. The counts are whole numbers
// below 2^31 (the picture's file must fit in 2^31 bytes at 3 bytes per pixel),
// so 32-bit cells hold exactly the values a table of doubles would.
struct SkinTable {
  int32_t width = 0, height = 0;
  int32_t kept_columns = 0;
  std::unique_ptr<int32_t[]> column_slot; // width entries, -1 where not kept
  std::unique_ptr<int32_t[]> row_slot;    // height entries, -1 where not kept
  std::unique_ptr<uint32_t[]> cells;      // kept rows x kept columns

  // Must be a kept column and a kept row.
  uint32_t at(int32_t x, int32_t y) const {
    return cells[static_cast<size_t>(row_slot[y]) * static_cast<size_t>(kept_columns) +
                 static_cast<size_t>(column_slot[x])];
  }
};

// Builds the table at the columns x with keep_column[x] != 0 and the rows y
// with keep_row[y] != 0, reading only the pixels it needs. False when memory
// runs out.
bool build_skin_table(const uint8_t *pixels, int32_t width, int32_t height, const uint8_t *keep_column,
                      const uint8_t *keep_row, SkinTable &table);

// Skin pixels in columns x0..x1 and rows y0..y1, inclusive, from the cells at
// (x1, y1), (x0 - 1, y1), (x1, y0 - 1) and (x0 - 1, y0 - 1) where those lie in
// the picture, which must be kept. A rectangle with no columns or no rows
// sums to 0 and reads nothing.
double rect_sum(const SkinTable &table, int32_t x0, int32_t y0, int32_t x1, int32_t y1);

} // namespace tavrin::face_hat

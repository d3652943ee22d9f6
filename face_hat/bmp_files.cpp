#include "bmp_files.h"

#include <cstdio>
#include <new>

#include "bmp_limits.h"
#include "bmp_header.h"
#include "channel_order.h"
#include "console.h"
#include "file_handle.h"
#include "le_bytes.h"
#include "pixel_memory.h"
#include "row_chunks.h"

namespace tavrin::face_hat {

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;

// 32-bit file pixels are blue, green, red and a fourth byte; the buffer
// wants red, green, blue.
void copy_32bit_row(const uint8_t *src, uint8_t *dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

} // namespace

PixelBuffer load_bmp(const char *path, int32_t &width, int32_t &height) {
  if (path == nullptr) return nullptr;
  FileHandle file = open_file(path, "rb");
  if (!file) {
    print_error("Cannot open: %s\n", path);
    return nullptr;
  }
  std::FILE *f = file.get();

  uint8_t file_header[kFileHeaderBytes];
  if (std::fread(file_header, kFileHeaderBytes, 1, f) != 1) return nullptr;
  if (file_header[0] != 'B' || file_header[1] != 'M') {
    print_error("Not a BMP file.\n");
    return nullptr;
  }
  uint8_t info[kInfoHeaderBytes];
  if (std::fread(info, kInfoHeaderBytes, 1, f) != 1) return nullptr;

  const int32_t file_width = get_le32s(info + 4);
  const int32_t file_height = get_le32s(info + 8);
  const uint16_t bits = get_le16(info + 14);
  if (get_le32(info + 16) != 0) {
    print_error("Compressed BMP not supported.\n");
    return nullptr;
  }
  if (bits != 24 && bits != 32) {
    print_error("Only 24-bpp and 32-bpp BMP supported (got %d).\n", static_cast<int>(bits));
    return nullptr;
  }

  // Sizes the output header could not describe are refused before anything is
  // allocated; so is a height whose magnitude does not fit an int32.
  if (file_height == INT32_MIN) return nullptr;
  const bool top_down = file_height < 0;
  const int32_t rows = top_down ? -file_height : file_height;
  if (!bmp24_file_fits(file_width, rows)) return nullptr;

  const int64_t bytes_per_pixel = bits / 8;
  const int64_t stride = bmp_stride(file_width, bytes_per_pixel);
  const int64_t pixel_offset_in_file = get_le32(file_header + 10);
  // A file too short for the rows its header promises would fail in the row
  // loop anyway; failing here keeps a forged header from costing an allocation.
  const int64_t length = file_length(f);
  if (length >= 0 &&
      (pixel_offset_in_file > length || (length - pixel_offset_in_file) / stride < rows))
    return nullptr;

  // Every byte of the buffer is written before it is read: no zeroing, and
  // huge pages for large pictures.
  PixelBuffer pixels(allocate_pixels(static_cast<size_t>(file_width) * static_cast<size_t>(rows) * 3));
  const RowChunk chunk(static_cast<size_t>(stride), rows);
  if (!pixels || !chunk.ok()) return nullptr;

  if (!seek_from_start(f, pixel_offset_in_file, kBmpHeaderBytes)) return nullptr;
  const bool read = read_row_chunks(f, chunk, rows, [&](int64_t i, const uint8_t *row) {
    const int32_t y = top_down ? static_cast<int32_t>(i) : rows - 1 - static_cast<int32_t>(i);
    uint8_t *dst = pixels.get() + pixel_offset(file_width, 0, y);
    if (bytes_per_pixel == 4)
      copy_32bit_row(row, dst, file_width);
    else
      swap_red_blue(dst, row, static_cast<size_t>(file_width));
  });
  if (!read) return nullptr;

  width = file_width;
  height = rows;
  return pixels;
}

bool save_bmp(const char *path, int32_t width, int32_t height, const uint8_t *pixels) {
  if (path == nullptr) return false;
  if (pixels == nullptr || !bmp24_file_fits(width, height)) {
    print_error("Cannot write: %s\n", path);
    return false;
  }
  const int64_t stride = bmp_stride(width, 3);
  const int64_t image_bytes = stride * height;

  uint8_t header[kBmpHeaderBytes];
  fill_bmp24_header(header, width, height, static_cast<uint32_t>(image_bytes), 0);

  // Whole file rows, bottom first, a chunk per write; the padding stays zero.
  const RowChunk chunk(static_cast<size_t>(stride), height);
  if (!chunk.ok()) {
    print_error("Cannot write: %s\n", path);
    return false;
  }

  FileHandle file = open_file(path, "wb");
  if (!file) {
    print_error("Cannot write: %s\n", path);
    return false;
  }
  bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
  ok = ok && write_row_chunks(file.get(), chunk, static_cast<size_t>(width) * 3, height, [&](int64_t k, uint8_t *row) {
    swap_red_blue(row, pixels + pixel_offset(width, 0, height - 1 - static_cast<int32_t>(k)), static_cast<size_t>(width));
  });
  ok = close_file(file) && ok;
  if (!ok) print_error("Cannot write: %s\n", path);
  return ok;
}

} // namespace tavrin::face_hat

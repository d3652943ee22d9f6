#include "bmp_files.h"

#include <cstdio>
#include <new>

#include "bmp_limits.h"
#include "bmp_header.h"
#include "console.h"
#include "file_handle.h"
#include "le_bytes.h"

namespace tavrin::face_hat {

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;

// File pixels are blue, green, red (and a fourth byte at 32 bits); the buffer
// wants red, green, blue.
template <int BytesPerPixel>
void copy_file_row(const uint8_t *src, uint8_t *dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += BytesPerPixel, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

void copy_buffer_row(const uint8_t *src, uint8_t *dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 3, dst += 3) {
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

  const size_t row_bytes = static_cast<size_t>(stride);
  PixelBuffer pixels(new (std::nothrow)
                         uint8_t[static_cast<size_t>(file_width) * static_cast<size_t>(rows) * 3]);
  std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[row_bytes]);
  if (!pixels || !row) return nullptr;

  if (!seek_from_start(f, pixel_offset_in_file, kBmpHeaderBytes)) return nullptr;
  for (int32_t i = 0; i < rows; ++i) {
    if (std::fread(row.get(), 1, row_bytes, f) != row_bytes) return nullptr;
    const int32_t y = top_down ? i : rows - 1 - i;
    uint8_t *dst = pixels.get() + pixel_offset(file_width, 0, y);
    if (bytes_per_pixel == 4)
      copy_file_row<4>(row.get(), dst, file_width);
    else
      copy_file_row<3>(row.get(), dst, file_width);
  }

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

  // One whole file row per write; the padding bytes stay zero.
  const size_t row_bytes = static_cast<size_t>(stride);
  std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[row_bytes]());
  if (!row) {
    print_error("Cannot write: %s\n", path);
    return false;
  }

  FileHandle file = open_file(path, "wb");
  if (!file) {
    print_error("Cannot write: %s\n", path);
    return false;
  }
  bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
  for (int32_t y = height - 1; ok && y >= 0; --y) {
    copy_buffer_row(pixels + pixel_offset(width, 0, y), row.get(), width);
    ok = std::fwrite(row.get(), 1, row_bytes, file.get()) == row_bytes;
  }
  ok = close_file(file) && ok;
  if (!ok) print_error("Cannot write: %s\n", path);
  return ok;
}

} // namespace tavrin::face_hat

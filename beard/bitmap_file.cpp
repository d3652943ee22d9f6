#include "bitmap_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>

#include "bmp_limits.h"
#include "bmp_header.h"
#include "console.h"
#include "file_handle.h"
#include "le_bytes.h"
#include "pixel_memory.h"

namespace tavrin::beard {

namespace {

constexpr int32_t kMaxDimension = 65535;
constexpr uint32_t kMinInfoHeader = 40;
constexpr int64_t kFieldsEnd = 34;

const char *shown(const char *path) { return path != nullptr ? path : "(null)"; }

} // namespace

void free_bmp(BmpImage *image) {
  if (image == nullptr) return;
  std::free(image->pixels);
  std::free(image);
}

uint16_t read_u16le(std::FILE *file) {
  int b0 = std::getc(file);
  int b1 = std::getc(file);
  return static_cast<uint16_t>(b0 | (b1 * 256));
}

uint32_t read_u32le(std::FILE *file) {
  uint32_t value = 0;
  for (int shift = 0; shift < 32; shift += 8)
    value |= static_cast<uint32_t>(std::getc(file)) << shift; // -1 sets every higher bit
  return value;
}

BmpHandle load_bmp(const char *path) {
  FileHandle file = open_file(path, "rb");
  if (!file) {
    print_error("%s: cannot open file\n", shown(path));
    return nullptr;
  }
  std::FILE *f = file.get();

  if (std::getc(f) != 'B' || std::getc(f) != 'M') {
    print_error("%s: not a BMP file\n", path);
    return nullptr;
  }
  (void)read_u32le(f); // file size
  (void)read_u16le(f); // reserved
  (void)read_u16le(f); // reserved
  const uint32_t offset = read_u32le(f);
  if (read_u32le(f) < kMinInfoHeader) {
    print_error("%s: old-style DIB header not supported\n", path);
    return nullptr;
  }
  const int32_t width = static_cast<int32_t>(read_u32le(f));
  int32_t height = static_cast<int32_t>(read_u32le(f));
  (void)read_u16le(f); // planes
  const uint16_t bits = read_u16le(f);
  const uint32_t compression = read_u32le(f);
  if (bits != 24) {
    print_error("%s: only 24-bit BMP is supported (got %d-bit)\n", path, bits);
    return nullptr;
  }
  if (compression != 0) {
    print_error("%s: compressed BMP is not supported\n", path);
    return nullptr;
  }
  const bool top_down = height < 0;
  // INT_MIN has no positive counterpart; it stays negative and is refused below.
  if (top_down && height != INT32_MIN) height = -height;
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
    print_error("%s: implausible image dimensions %dx%d\n", path, width, height);
    return nullptr;
  }

  // Refuse a header that promises more rows than the file holds before the
  // pixel buffer is allocated, with the line the row loop would give.
  const int64_t stride = bmp_stride(width, 3);
  const int64_t length = file_length(f);
  if (length >= 0) {
    const int64_t available = length > offset ? length - offset : 0;
    if (available / stride < height) {
      print_error("%s: unexpected end of file at row %d\n", path,
                  static_cast<int>(available / stride));
      return nullptr;
    }
  }

  // The saved file states its own size in a 32-bit header field: a picture
  // whose file would not fit is refused before its pixels are allocated.
  if (kBmpHeaderBytes + stride * height > int64_t{UINT32_MAX}) {
    print_error("%s: image too large for a BMP file (%dx%d)\n", path, width, height);
    return nullptr;
  }

  BmpHandle image(static_cast<BmpImage *>(std::malloc(sizeof(BmpImage))));
  if (!image) return nullptr;
  *image = BmpImage{width, height, nullptr};
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
  if (bytes > SIZE_MAX) return nullptr;
  image->pixels = allocate_pixels(static_cast<size_t>(bytes));
  if (image->pixels == nullptr) return nullptr;

  // The fields read so far end at byte 34. A stream that can neither seek nor
  // read forward to the pixels (a pipe with a small offset) is read from there.
  (void)seek_from_start(f, offset, kFieldsEnd);
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  const size_t pad = static_cast<size_t>(stride) - row_bytes;
  uint8_t padding[3];
  for (int32_t i = 0; i < height; ++i) {
    const int32_t y = top_down ? i : height - 1 - i;
    uint8_t *row = image->pixels + static_cast<size_t>(y) * row_bytes;
    if (std::fread(row, 1, row_bytes, f) != row_bytes || std::fread(padding, 1, pad, f) != pad) {
      print_error("%s: unexpected end of file at row %d\n", path, i);
      return nullptr;
    }
  }
  return image;
}

bool save_bmp(const char *path, const BmpImage &image) {
  FileHandle file = open_file(path, "wb");
  if (!file) {
    print_error("%s: cannot write file\n", shown(path));
    return false;
  }
  const size_t row_bytes = static_cast<size_t>(image.width) * 3;
  const size_t pad = (4 - row_bytes % 4) % 4;
  const size_t stride = row_bytes + pad;
  // Image size 0, 2835 pixels per metre both ways.
  uint8_t header[kBmpHeaderBytes];
  fill_bmp24_header(header, image.width, image.height, 0, 2835);
  std::FILE *f = file.get();
  bool written = std::fwrite(header, 1, sizeof header, f) == sizeof header;

  // Rows without padding go straight from the picture; others through one
  // buffer whose zero padding is written with the row.
  std::unique_ptr<uint8_t[]> buffer;
  if (pad != 0) {
    buffer.reset(new (std::nothrow) uint8_t[stride]());
    if (!buffer) return false;
  }
  for (int32_t y = image.height - 1; written && y >= 0; --y) {
    const uint8_t *row = image.pixels + static_cast<size_t>(y) * row_bytes;
    if (buffer) {
      std::copy(row, row + row_bytes, buffer.get());
      row = buffer.get();
    }
    written = std::fwrite(row, 1, stride, f) == stride;
  }
  if (!close_file(file) || !written) {
    print_error("%s: cannot write file\n", path);
    return false;
  }
  return true;
}

} // namespace tavrin::beard

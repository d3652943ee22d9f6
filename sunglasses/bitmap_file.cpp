#include "bitmap_file.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "bmp_limits.h"
#include "bmp_header.h"
#include "console.h"
#include "direct_rows.h"
#include "file_handle.h"
#include "le_bytes.h"
#include "pixel_memory.h"

namespace tavrin::sunglasses {

namespace {

constexpr uint16_t kBmpSignature = 0x4D42; // "BM"
constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;

// Where rows cannot move straight between file and picture (a pipe, or a
// system without scatter-gather calls), they go through a stream buffer this
// large: the default of a few KiB would cost a system call every row or two
// on large pictures. The buffer has to be given: for a null one the C
// library keeps its default size.
constexpr size_t kStreamBuffer = size_t{1} << 18;

// Declared before the stream it serves, so it outlives the stream's close.
// Without memory the stream keeps its own small buffer. Attached before the
// stream's first read or write.
struct StreamBuffer {
  std::unique_ptr<char[]> bytes;
  void attach(std::FILE *f) {
    bytes.reset(new (std::nothrow) char[kStreamBuffer]);
    if (bytes) std::setvbuf(f, bytes.get(), _IOFBF, kStreamBuffer);
  }
};

// One line for every way the pixel rows can run out, whether the file's
// length gives it away up front or a read comes back short.
void report_truncated_rows() { print_error("Truncated BMP pixel data.\n"); }

// Whether `available` bytes hold `rows` rows of `stride` bytes, the last of
// them only up to its `row_bytes` of pixels. Divides rather than multiplies,
// so no header can make it wrap.
bool holds_rows(int64_t available, int64_t row_bytes, int64_t stride, int32_t rows) {
  return available >= row_bytes && (available - row_bytes) / stride >= rows - 1;
}

} // namespace

void free_bmp(BmpImage *image) {
  if (image == nullptr) return;
  std::free(image->pixels);
  delete image;
}

namespace {

size_t pixel_bytes(const BmpImage &image) { return static_cast<size_t>(image.width) * image.height * 3; }

} // namespace

SpareMemory spare_memory(const BmpImage &image) {
  const size_t used = pixel_bytes(image);
  return SpareMemory{image.pixels + used, pixel_capacity(used) - used};
}

BmpImagePtr load_bmp(const char *path) {
  StreamBuffer buffer;
  FileHandle file = open_file(path, "rb");
  if (!file) {
    print_error("Cannot open %s\n", path);
    return nullptr;
  }
  std::FILE *f = file.get();
  // A stream whose length cannot be told (a pipe) is left to the row reads.
  const int64_t length = file_length(f);
  const bool direct = kDirectRows && length >= 0;
  if (!direct) buffer.attach(f);

  uint8_t header[kFileHeaderBytes + kInfoHeaderBytes];
  if (std::fread(header, 1, kFileHeaderBytes, f) != kFileHeaderBytes ||
      std::fread(header + kFileHeaderBytes, 1, kInfoHeaderBytes, f) != kInfoHeaderBytes) {
    print_error("Truncated BMP header.\n");
    return nullptr;
  }
  const uint8_t *info = header + kFileHeaderBytes;
  if (get_le16(header) != kBmpSignature || get_le16(info + 14) != 24 || get_le32(info + 16) != 0) {
    print_error("Only uncompressed 24-bit BMP supported.\n");
    return nullptr;
  }

  const uint32_t pixel_offset = get_le32(header + 10);
  const int32_t width = get_le32s(info + 4);
  const int32_t stored_height = get_le32s(info + 8);
  // INT32_MIN has no positive counterpart, so it cannot be a row count.
  if (width <= 0 || stored_height == 0 || stored_height == INT32_MIN) {
    print_error("Unsupported BMP size %d x %d.\n", width, stored_height);
    return nullptr;
  }
  const bool top_down = stored_height < 0;
  const int32_t height = top_down ? -stored_height : stored_height;

  // A file without the rows its header promises reads as one that ends early,
  // however large the promise: the answer never depends on memory or on the
  // size limit below. Only the last row may lack its padding: every pixel is
  // still there.
  const int64_t row_bytes = 3 * static_cast<int64_t>(width);
  const int32_t padding = row_padding(width);
  if (length >= 0 && !holds_rows(length - pixel_offset, row_bytes, row_bytes + padding, height)) {
    report_truncated_rows();
    return nullptr;
  }
  // The saved copy has to carry its size in a 32-bit header field.
  if (!bmp24_file_fits(width, height)) {
    print_error("BMP too large: %d x %d.\n", width, height);
    return nullptr;
  }

  BmpImagePtr image(new (std::nothrow) BmpImage{width, height, nullptr});
  if (image) image->pixels = allocate_pixels(pixel_bytes(*image));
  if (!image || image->pixels == nullptr) {
    print_error("Not enough memory for a %d x %d image.\n", width, height);
    return nullptr;
  }

#if !defined(_WIN32)
  if (direct) {
    if (!read_rows_at(f, pixel_offset, image->pixels, static_cast<size_t>(row_bytes), padding, height, top_down)) {
      report_truncated_rows();
      return nullptr;
    }
    return image;
  }
#endif
  if (!seek_from_start(f, pixel_offset, kBmpHeaderBytes)) {
    report_truncated_rows();
    return nullptr;
  }
  uint8_t scratch[3];
  for (int32_t r = 0; r < height; ++r) {
    const int32_t y = top_down ? r : height - 1 - r;
    uint8_t *row = image->pixels + static_cast<size_t>(y) * static_cast<size_t>(row_bytes);
    if (std::fread(row, 1, static_cast<size_t>(row_bytes), f) != static_cast<size_t>(row_bytes)) {
      report_truncated_rows();
      return nullptr;
    }
    if (padding != 0 && std::fread(scratch, 1, padding, f) != static_cast<size_t>(padding) &&
        r != height - 1) {
      report_truncated_rows();
      return nullptr;
    }
  }
  return image;
}

bool save_bmp(const char *path, const BmpImage &image) {
  const int32_t padding = row_padding(image.width);

  // Image size, resolutions and colour counts stay zero.
  uint8_t header[kBmpHeaderBytes];
  fill_bmp24_header(header, image.width, image.height, 0, 0);

  StreamBuffer buffer;
  FileHandle file = open_file(path, "wb");
  if (!file) {
    print_error("Cannot write %s\n", path);
    return false;
  }
  std::FILE *f = file.get();
  const int64_t row_bytes = 3 * static_cast<int64_t>(image.width);
  bool ok = true;
#if !defined(_WIN32)
  ok = write_rows_bottom_up(f, header, sizeof header, image.pixels, static_cast<size_t>(row_bytes), padding,
                            image.height);
#else
  buffer.attach(f);
  ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
  static const uint8_t zeros[3] = {};
  for (int32_t y = image.height - 1; ok && y >= 0; --y) {
    const uint8_t *row = image.pixels + static_cast<size_t>(y) * static_cast<size_t>(row_bytes);
    ok = std::fwrite(row, 1, static_cast<size_t>(row_bytes), f) == static_cast<size_t>(row_bytes) &&
         (padding == 0 || std::fwrite(zeros, 1, padding, f) == static_cast<size_t>(padding));
  }
#endif
  // Buffered bytes reach the file only on close, so its result counts too.
  ok = close_file(file) && ok;
  if (!ok) print_error("Cannot write %s\n", path);
  return ok;
}

} // namespace tavrin::sunglasses

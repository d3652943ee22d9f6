#include "bitmap_file.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "bmp_limits.h"
#include "bmp_header.h"
#include "channel_order.h"
#include "console.h"
#include "file_handle.h"
#include "le_bytes.h"
#include "pixel_memory.h"
#include "row_chunks.h"

namespace tavrin::mustache {

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;
constexpr uint16_t kBmpType = 0x4D42; // "BM"

RgbImagePtr refuse_short_pixels() {
  print_error("Unexpected EOF reading pixel data.\n");
  return nullptr;
}

// A picture whose bytes are all about to be overwritten: no zeroing, and
// huge pages for large ones (see pixel_memory.h).
RgbImagePtr new_unfilled_image(int32_t width, int32_t height) {
  RgbImagePtr image(new (std::nothrow) RgbImage{width, height, nullptr});
  if (!image) return nullptr;
  image->pixels = allocate_pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  if (image->pixels == nullptr) return nullptr;
  return image;
}

} // namespace

void free_bmp(RgbImage *image) {
  if (image == nullptr) return;
  std::free(image->pixels);
  delete image;
}

RgbImagePtr new_rgb_image(int32_t width, int32_t height) {
  if (!bmp24_file_fits(width, height)) return nullptr;
  RgbImagePtr image(new (std::nothrow) RgbImage{width, height, nullptr});
  if (!image) return nullptr;
  image->pixels = static_cast<uint8_t *>(
      std::calloc(static_cast<size_t>(width) * static_cast<size_t>(height), 3));
  if (image->pixels == nullptr) return nullptr;
  return image;
}

RgbImagePtr load_bmp(const char *path) {
  FileHandle file = open_file(path, "rb");
  if (!file) {
    print_error("Cannot open: %s\n", printable_path(path));
    return nullptr;
  }
  uint8_t file_header[kFileHeaderBytes];
  if (std::fread(file_header, sizeof file_header, 1, file.get()) != 1 ||
      get_le16(file_header) != kBmpType) {
    print_error("Not a BMP file: %s\n", path);
    return nullptr;
  }
  uint8_t info[kInfoHeaderBytes];
  if (std::fread(info, sizeof info, 1, file.get()) != 1) {
    print_error("Bad BMP header: %s\n", path);
    return nullptr;
  }
  if (get_le16(info + 14) != 24 || get_le32(info + 16) != 0) {
    print_error("Only uncompressed 24-bit BMP supported.\n");
    return nullptr;
  }

  // Sizes come from the file: check them before anything is allocated.
  const int32_t width = get_le32s(info + 4);
  const int32_t stored_height = get_le32s(info + 8);
  const int64_t height = stored_height < 0 ? -int64_t{stored_height} : int64_t{stored_height};
  auto unsupported = [path] {
    print_error("Unsupported BMP dimensions: %s\n", path);
    return nullptr;
  };
  if (width <= 0 || height == 0 || height > INT32_MAX) return unsupported();
  // A file without the rows its header promises reads as one that ends early,
  // however large the promise: the row loop would run out the same way.
  const uint32_t offset = get_le32(file_header + 10);
  const int64_t stride = bmp_stride(width, 3);
  const int64_t length = file_length(file.get());
  if (length >= 0 && (length < offset || (length - offset) / stride < height))
    return refuse_short_pixels();
  if (!bmp24_file_fits(width, height)) return unsupported();

  RgbImagePtr image = new_unfilled_image(width, static_cast<int32_t>(height));
  if (!image) return nullptr;
  const RowChunk chunk(static_cast<size_t>(stride), height);
  if (!chunk.ok()) return nullptr;
  if (!seek_from_start(file.get(), offset, kBmpHeaderBytes))
    return refuse_short_pixels();

  // File rows hold blue, green, red; memory rows red, green, blue.
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  const bool read = read_row_chunks(file.get(), chunk, height, [&](int64_t k, const uint8_t *row) {
    const int64_t y = stored_height > 0 ? height - 1 - k : k;
    swap_red_blue(image->pixels + static_cast<size_t>(y) * row_bytes, row, static_cast<size_t>(width));
  });
  if (!read) return refuse_short_pixels();
  return image;
}

bool save_bmp(const char *path, const RgbImage &image) {
  const int64_t stride = bmp_stride(image.width, 3);
  const int64_t data_bytes = stride * image.height;
  uint8_t header[kBmpHeaderBytes];
  fill_bmp24_header(header, image.width, image.height, static_cast<uint32_t>(data_bytes), 0);

  auto cannot_write = [path] {
    print_error("Cannot write: %s\n", printable_path(path));
    return false;
  };
  FileHandle file = open_file(path, "wb");
  if (!file) return cannot_write();
  if (std::fwrite(header, sizeof header, 1, file.get()) != 1) return cannot_write();

  // Stored rows, bottom first, with their zero padding.
  const size_t row_bytes = static_cast<size_t>(image.width) * 3;
  const RowChunk chunk(static_cast<size_t>(stride), image.height);
  if (!chunk.ok()) {
    close_file(file);
    return false;
  }
  const bool written = write_row_chunks(file.get(), chunk, row_bytes, image.height, [&](int64_t k, uint8_t *row) {
    const size_t y = static_cast<size_t>(image.height - 1 - k);
    swap_red_blue(row, image.pixels + y * row_bytes, static_cast<size_t>(image.width));
  });
  if (!written) return cannot_write();
  if (!close_file(file)) return cannot_write();
  return true;
}

} // namespace tavrin::mustache

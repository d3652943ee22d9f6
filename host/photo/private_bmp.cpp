#include "photo/private_bmp.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "bmp_header.h"
#include "channel_order.h"
#include "bmp_limits.h"
#include "le_bytes.h"

namespace tavrin::photo {

namespace {

// The layout of a 24-bit BMP whose header was checked against its length.
struct Layout {
  uint32_t offset = 0;
  int32_t width = 0, height = 0;
  bool bottom_up = true;
  size_t stride = 0;
};

bool check_layout(const uint8_t *p, size_t file_size, Layout &l, std::string &why) {
  if (file_size < static_cast<size_t>(kBmpHeaderBytes)) {
    why = "the plug-in wrote no picture";
    return false;
  }
  l.offset = get_le32(p + 10);
  l.width = get_le32s(p + 18);
  const int32_t height = get_le32s(p + 22);
  if (p[0] != 'B' || p[1] != 'M' || get_le32(p + 14) < 40 || get_le16(p + 28) != 24 || get_le32(p + 30) != 0 ||
      l.width <= 0 || height == 0 || height == INT32_MIN) {
    why = "the plug-in wrote a picture this program does not read";
    return false;
  }
  l.bottom_up = height > 0;
  l.height = height < 0 ? -height : height;
  const int64_t stride = bmp_stride(l.width, 3);
  if (l.offset < kBmpHeaderBytes || l.offset > file_size ||
      stride > static_cast<int64_t>(file_size - l.offset) / l.height) {
    why = "the plug-in's picture is shorter than its header says";
    return false;
  }
  l.stride = static_cast<size_t>(stride);
  return true;
}

bool map_whole(int fd, FileMapping &map, bool writable, std::string &why) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < kBmpHeaderBytes) {
    why = "the plug-in wrote no picture";
    return false;
  }
  if (!map.map(fd, static_cast<size_t>(st.st_size), writable)) {
    why = std::string("cannot map the plug-in's picture: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Swaps rows a and b (width pixels each), turning both from one channel
// order to the other on the way; `spare` holds a row.
void swap_rows_and_channels(uint8_t *a, uint8_t *b, size_t pixels, uint8_t *spare) {
  std::memcpy(spare, a, pixels * 3);
  tavrin::swap_red_blue(a, b, pixels);
  tavrin::swap_red_blue(b, spare, pixels);
}

} // namespace

FileMapping::~FileMapping() {
  if (data_ != nullptr) munmap(data_, size_);
}

bool FileMapping::map(int fd, size_t size, bool writable) {
  void *p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<uint8_t *>(p);
  size_ = size;
  return true;
}

std::optional<BmpSize> bmp_size(const uint8_t *head, size_t size) {
  if (size < 26 || head[0] != 'B' || head[1] != 'M') return std::nullopt;
  const int64_t width = get_le32s(head + 18);
  const int64_t height = get_le32s(head + 22);
  return BmpSize{width < 0 ? -width : width, height < 0 ? -height : height};
}

bool Bmp24Writer::open(int fd, int32_t width, int32_t height, std::string &why) {
  if (!bmp24_file_fits(width, height)) {
    why = "too large for a BMP";
    return false;
  }
  fd_ = fd;
  width_ = width;
  height_ = height;
  stride_ = static_cast<size_t>(bmp_stride(width, 3));
  uint8_t header[kBmpHeaderBytes];
  // 2835 pixels per metre is 72 dpi, what a picture without one is taken to have.
  fill_bmp24_header(header, width, height, static_cast<uint32_t>(stride_ * static_cast<size_t>(height)), 2835);
  if (pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    why = std::string("cannot write the picture for the plug-in: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool Bmp24Writer::write_rows(int32_t top, int32_t count, const uint8_t *rgb, size_t rgb_stride, std::string &why) {
  if (top < 0 || count <= 0 || top + count > height_) {
    why = "rows outside the picture";
    return false;
  }
  if (static_cast<size_t>(count) > strip_rows_) {
    // Zeroed once: the padding after each row stays zero.
    strip_.reset(new uint8_t[static_cast<size_t>(count) * stride_]());
    strip_rows_ = static_cast<size_t>(count);
  }
  // Stored bottom first, so the strip's last row comes first in the file.
  for (int32_t i = 0; i < count; ++i)
    swap_red_blue(strip_.get() + static_cast<size_t>(count - 1 - i) * stride_, rgb + static_cast<size_t>(i) * rgb_stride,
                  static_cast<size_t>(width_));
  const size_t bytes = static_cast<size_t>(count) * stride_;
  const off_t at = static_cast<off_t>(kBmpHeaderBytes + static_cast<int64_t>(height_ - top - count) * static_cast<int64_t>(stride_));
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = pwrite(fd_, strip_.get() + done, bytes - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = std::string("cannot write the picture for the plug-in: ") + std::strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool write_bmp24(int fd, RgbView rgb, std::string &why) {
  Bmp24Writer writer;
  if (!writer.open(fd, rgb.width, rgb.height, why)) return false;
  // A few hundred kilobytes at a time.
  const size_t row_bytes = static_cast<size_t>(rgb.width) * 3;
  const int32_t rows = static_cast<int32_t>(std::max<size_t>(1, (256u << 10) / std::max<size_t>(row_bytes, 1)));
  for (int32_t y = 0; y < rgb.height; y += rows)
    if (!writer.write_rows(y, std::min(rows, rgb.height - y), rgb.data + static_cast<size_t>(y) * row_bytes, row_bytes,
                           why))
      return false;
  return true;
}

bool read_bmp24(int fd, RgbPixels &out, std::string &why) {
  FileMapping map;
  Layout l;
  if (!map_whole(fd, map, false, why) || !check_layout(map.data(), map.size(), l, why)) return false;
  out.width = l.width;
  out.height = l.height;
  out.data.reset(new uint8_t[out.size()]);
  const size_t row_bytes = static_cast<size_t>(l.width) * 3;
  for (int32_t y = 0; y < l.height; ++y) {
    const int32_t stored = l.bottom_up ? l.height - 1 - y : y;
    swap_red_blue(out.data.get() + static_cast<size_t>(y) * row_bytes,
                  map.data() + l.offset + static_cast<size_t>(stored) * l.stride, static_cast<size_t>(l.width));
  }
  return true;
}

bool bmp24_to_rgb_in_place(int fd, FileMapping &mapping, RgbView &view, std::string &why) {
  Layout l;
  if (!map_whole(fd, mapping, true, why) || !check_layout(mapping.data(), mapping.size(), l, why)) return false;
  uint8_t *p = mapping.data() + l.offset;
  const size_t w = static_cast<size_t>(l.width);
  const auto row = [&](int32_t y) { return p + static_cast<size_t>(y) * l.stride; };
  // A spare row for each thread, taken here: an allocation failing in the
  // second thread could not be reported.
  std::unique_ptr<uint8_t[]> spares(l.bottom_up ? new (std::nothrow) uint8_t[2 * w * 3] : nullptr);
  if (l.bottom_up && !spares) {
    why = "not enough memory to turn the plug-in's picture";
    return false;
  }
  // Rows [from, to) of the top half (bottom-up) or of the whole picture.
  const auto turn = [&](int32_t from, int32_t to, uint8_t *spare) {
    for (int32_t y = from; y < to; ++y)
      if (l.bottom_up)
        swap_rows_and_channels(row(y), row(l.height - 1 - y), w, spare);
      else
        swap_red_blue(row(y), row(y), w);
  };
  const int32_t rows = l.bottom_up ? l.height / 2 : l.height;
  uint8_t *const second = spares ? spares.get() + w * 3 : nullptr;
  if (std::thread::hardware_concurrency() > 1 && rows >= 64) {
    std::thread half(turn, rows / 2, rows, second);
    turn(0, rows / 2, spares.get());
    half.join();
  } else {
    turn(0, rows, spares.get());
  }
  if (l.bottom_up && l.height % 2 == 1) swap_red_blue(row(l.height / 2), row(l.height / 2), w);
  // Rows close up over their padding, front to back: each moves towards
  // the start and never over a row not yet moved.
  if (l.stride != w * 3)
    for (int32_t y = 1; y < l.height; ++y) std::memmove(p + static_cast<size_t>(y) * w * 3, row(y), w * 3);
  view = {p, l.width, l.height};
  return true;
}

} // namespace tavrin::photo

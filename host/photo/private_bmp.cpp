#include "photo/private_bmp.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "bmp_header.h"
#include "channel_order.h"
#include "bmp_limits.h"
#include "le_bytes.h"
#include "pixel_memory.h"

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

// Reads exactly `n` bytes at `at`.
bool read_exactly(int fd, uint8_t *to, size_t n, off_t at) {
  while (n > 0) {
    const ssize_t got = pread(fd, to, n, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO; // shorter than when its header was checked
      return false;
    }
    to += got;
    n -= static_cast<size_t>(got);
    at += got;
  }
  return true;
}

} // namespace

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
    // Zeroed once: the padding after each row stays zero. From
    // allocate_pixels, so a large strip comes in huge pages instead of a
    // fault per 4 KiB; and a failure is an answer, not an exception
    // through libvips, which calls this.
    const size_t bytes = static_cast<size_t>(count) * stride_;
    strip_ = allocate_array<uint8_t>(bytes);
    if (!strip_) {
      strip_rows_ = 0;
      why = "not enough memory for the picture for the plug-in";
      return false;
    }
    std::memset(strip_.get(), 0, bytes);
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

bool Bmp24Rows::open(int fd, std::string &why) {
  struct stat st {};
  uint8_t header[kBmpHeaderBytes];
  if (fstat(fd, &st) != 0 || st.st_size < kBmpHeaderBytes || !read_exactly(fd, header, sizeof header, 0)) {
    why = "the plug-in wrote no picture";
    return false;
  }
  Layout l;
  if (!check_layout(header, static_cast<size_t>(st.st_size), l, why)) return false;
  fd_ = fd;
  offset_ = l.offset;
  width_ = l.width;
  height_ = l.height;
  bottom_up_ = l.bottom_up;
  stride_ = l.stride;
  return true;
}

bool Bmp24Rows::read(int32_t top, int32_t count, int32_t left, int32_t columns, uint8_t *rgb, size_t rgb_stride) const {
  if (fd_ < 0 || top < 0 || count <= 0 || top > height_ - count || left < 0 || columns <= 0 || left > width_ - columns) {
    errno = EINVAL;
    return false;
  }
  const size_t bytes = static_cast<size_t>(columns) * 3;
  const auto stored = [&](int32_t y) { return static_cast<off_t>(bottom_up_ ? height_ - 1 - y : y); };
  const auto at = [&](int32_t y) { return offset_ + stored(y) * static_cast<off_t>(stride_) + static_cast<off_t>(left) * 3; };
  const auto out = [&](int32_t y) { return rgb + static_cast<size_t>(y - top) * rgb_stride; };
  // Batches small enough to be turned while they are still in the cache.
  constexpr int32_t kMaxBatch = 256;
  const int32_t batch = static_cast<int32_t>(std::clamp<size_t>((256u << 10) / bytes, 1, kMaxBatch));
  for (int32_t from = top; from < top + count; from += batch) {
    const int32_t n = std::min(batch, top + count - from);
    bool done = false;
    if (columns == width_) {
      // Whole rows lie next to each other in the file, padding between
      // them: one call for the batch, the padding read into a scrap.
      uint8_t scrap[4];
      const size_t pad = stride_ - bytes;
      iovec parts[2 * kMaxBatch];
      int k = 0;
      for (int32_t i = 0; i < n; ++i) {
        const int32_t y = bottom_up_ ? from + n - 1 - i : from + i;
        parts[k++] = {out(y), bytes};
        if (pad != 0 && i + 1 < n) parts[k++] = {scrap, pad};
      }
      const size_t total = static_cast<size_t>(n) * bytes + static_cast<size_t>(n - 1) * pad;
      done = preadv(fd_, parts, k, at(bottom_up_ ? from + n - 1 : from)) == static_cast<ssize_t>(total);
    }
    // Otherwise (or after a short read) row by row.
    for (int32_t y = from; !done && y < from + n; ++y)
      if (!read_exactly(fd_, out(y), bytes, at(y))) return false;
    for (int32_t y = from; y < from + n; ++y) swap_red_blue(out(y), out(y), static_cast<size_t>(columns));
  }
  return true;
}

bool read_bmp24(int fd, RgbPixels &out, std::string &why) {
  Bmp24Rows rows;
  if (!rows.open(fd, why)) return false;
  out.width = rows.width();
  out.height = rows.height();
  out.data.reset(new uint8_t[out.size()]);
  if (!rows.read(0, rows.height(), 0, rows.width(), out.data.get(), static_cast<size_t>(rows.width()) * 3)) {
    why = std::string("cannot read the plug-in's picture: ") + std::strerror(errno);
    return false;
  }
  return true;
}

} // namespace tavrin::photo

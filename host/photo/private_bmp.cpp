#include "photo/private_bmp.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bmp_header.h"
#include "bmp_limits.h"
#include "le_bytes.h"

namespace tavrin::photo {

namespace {

// A read-only or writable view of a whole file, unmapped on every path.
class Mapping {
public:
  Mapping(int fd, size_t size, bool writable) : size_(size) {
    void *p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
  }
  ~Mapping() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  uint8_t *data() const { return data_; }

private:
  uint8_t *data_ = nullptr;
  size_t size_;
};

} // namespace

std::optional<BmpSize> bmp_size(const uint8_t *head, size_t size) {
  if (size < 26 || head[0] != 'B' || head[1] != 'M') return std::nullopt;
  const int64_t width = get_le32s(head + 18);
  const int64_t height = get_le32s(head + 22);
  return BmpSize{width < 0 ? -width : width, height < 0 ? -height : height};
}

bool write_bmp24(int fd, const uint8_t *rgb, int32_t width, int32_t height, std::string &why) {
  if (!bmp24_file_fits(width, height)) {
    why = "too large for a BMP";
    return false;
  }
  const int64_t stride = bmp_stride(width, 3);
  const size_t file_size = static_cast<size_t>(kBmpHeaderBytes + stride * height);
  if (ftruncate(fd, static_cast<off_t>(file_size)) != 0) {
    why = std::string("cannot make the picture for the plug-in: ") + std::strerror(errno);
    return false;
  }
  Mapping map(fd, file_size, true);
  if (map.data() == nullptr) {
    why = std::string("cannot map the picture for the plug-in: ") + std::strerror(errno);
    return false;
  }
  // 2835 pixels per metre is 72 dpi, what a picture without one is taken to have.
  fill_bmp24_header(map.data(), width, height, static_cast<uint32_t>(stride * height), 2835);
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t *src = rgb + static_cast<size_t>(y) * row_bytes;
    uint8_t *dst = map.data() + kBmpHeaderBytes + static_cast<size_t>(height - 1 - y) * stride;
    for (size_t x = 0; x < row_bytes; x += 3) {
      dst[x] = src[x + 2];
      dst[x + 1] = src[x + 1];
      dst[x + 2] = src[x];
    }
    std::memset(dst + row_bytes, 0, static_cast<size_t>(stride) - row_bytes);
  }
  return true;
}

bool read_bmp24(int fd, RgbPixels &out, std::string &why) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < kBmpHeaderBytes) {
    why = "the plug-in wrote no picture";
    return false;
  }
  const size_t file_size = static_cast<size_t>(st.st_size);
  Mapping map(fd, file_size, false);
  const uint8_t *p = map.data();
  if (p == nullptr) {
    why = std::string("cannot map the plug-in's picture: ") + std::strerror(errno);
    return false;
  }
  const uint32_t offset = get_le32(p + 10);
  const int32_t width = get_le32s(p + 18);
  const int32_t signed_height = get_le32s(p + 22);
  if (p[0] != 'B' || p[1] != 'M' || get_le32(p + 14) < 40 || get_le16(p + 28) != 24 || get_le32(p + 30) != 0 ||
      width <= 0 || signed_height == 0 || signed_height == INT32_MIN) {
    why = "the plug-in wrote a picture this program does not read";
    return false;
  }
  const int32_t height = signed_height < 0 ? -signed_height : signed_height;
  const int64_t stride = bmp_stride(width, 3);
  if (offset < kBmpHeaderBytes || static_cast<int64_t>(offset) > static_cast<int64_t>(file_size) ||
      stride > (static_cast<int64_t>(file_size) - offset) / height) {
    why = "the plug-in's picture is shorter than its header says";
    return false;
  }
  out.width = width;
  out.height = height;
  out.data.reset(new uint8_t[out.size()]);
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  for (int32_t y = 0; y < height; ++y) {
    const int32_t stored = signed_height > 0 ? height - 1 - y : y;
    const uint8_t *src = p + offset + static_cast<size_t>(stored) * stride;
    uint8_t *dst = out.data.get() + static_cast<size_t>(y) * row_bytes;
    for (size_t x = 0; x < row_bytes; x += 3) {
      dst[x] = src[x + 2];
      dst[x + 1] = src[x + 1];
      dst[x + 2] = src[x];
    }
  }
  return true;
}

} // namespace tavrin::photo

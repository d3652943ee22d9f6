#include "bmp_limits.h"
#include "file_handle.h"
#include "le_bytes.h"
#include "portrait.h"

#include <algorithm>
#include <cstdio>

namespace tavrin {

bool write_picture(const char *path, const Picture &picture) {
  if (!bmp24_file_fits(picture.width, picture.height)) return false;
  const int64_t stride = bmp_stride(picture.width, 3);
  const int64_t row_bytes = int64_t{picture.width} * 3;
  uint8_t header[kBmpHeaderBytes] = {'B', 'M'};
  put_le32(header + 2, static_cast<uint32_t>(kBmpHeaderBytes + stride * picture.height));
  put_le32(header + 10, kBmpHeaderBytes);
  put_le32(header + 14, 40);
  put_le32(header + 18, static_cast<uint32_t>(picture.width));
  put_le32(header + 22, static_cast<uint32_t>(picture.height));
  put_le16(header + 26, 1);
  put_le16(header + 28, 24);
  put_le32(header + 34, static_cast<uint32_t>(stride * picture.height));

  FileHandle file = open_file(path, "wb");
  if (!file) return false;
  bool ok = std::fwrite(header, sizeof header, 1, file.get()) == 1;
  std::vector<uint8_t> row(static_cast<size_t>(stride), 0);
  for (int64_t y = picture.height - 1; ok && y >= 0; --y) {
    const uint8_t *src = picture.bgr.data() + y * row_bytes;
    std::copy(src, src + row_bytes, row.begin());
    ok = std::fwrite(row.data(), row.size(), 1, file.get()) == 1;
  }
  return close_file(file) && ok;
}

} // namespace tavrin

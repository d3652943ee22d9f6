#include "bmp_header.h"
#include "file_handle.h"
#include "demo/portrait.h"

#include <algorithm>
#include <cstdio>

namespace tavrin {

bool write_picture(const char *path, const Picture &picture) {
  if (!bmp24_file_fits(picture.width, picture.height)) return false;
  const int64_t stride = bmp_stride(picture.width, 3);
  const int64_t row_bytes = int64_t{picture.width} * 3;
  uint8_t header[kBmpHeaderBytes];
  fill_bmp24_header(header, picture.width, picture.height,
                    static_cast<uint32_t>(stride * picture.height), 0);

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

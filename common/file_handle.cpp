#include "file_handle.h"

#include <cstdio>

#if defined(_WIN32)
#define tavrin_seek _fseeki64
#define tavrin_tell _ftelli64
#else
#include <sys/types.h>
#define tavrin_seek fseeko
#define tavrin_tell ftello
#endif

namespace tavrin {

FileHandle open_file(const char *path, const char *mode) {
  if (path == nullptr) return nullptr;
  return FileHandle(std::fopen(path, mode));
}

bool close_file(FileHandle &file) {
  std::FILE *raw = file.release();
  if (raw == nullptr) return false;
  bool ok = std::ferror(raw) == 0;
  return std::fclose(raw) == 0 && ok;
}

bool seek_from_start(std::FILE *file, int64_t offset, int64_t position) {
  if (offset < 0) return false;
  if (tavrin_seek(file, offset, SEEK_SET) == 0) return true;
  if (offset < position) return false;
  unsigned char skipped[4096];
  for (int64_t left = offset - position; left > 0;) {
    const size_t step = left < static_cast<int64_t>(sizeof skipped) ? static_cast<size_t>(left) : sizeof skipped;
    if (std::fread(skipped, 1, step, file) != step) return false;
    left -= static_cast<int64_t>(step);
  }
  return true;
}

int64_t file_length(std::FILE *file) {
  int64_t here = tavrin_tell(file);
  if (here < 0 || tavrin_seek(file, 0, SEEK_END) != 0) return -1;
  int64_t end = tavrin_tell(file);
  if (tavrin_seek(file, here, SEEK_SET) != 0) return -1;
  return end;
}

} // namespace tavrin

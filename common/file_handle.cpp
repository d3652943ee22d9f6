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

int64_t file_length(std::FILE *file) {
  int64_t here = tavrin_tell(file);
  if (here < 0 || tavrin_seek(file, 0, SEEK_END) != 0) return -1;
  int64_t end = tavrin_tell(file);
  if (tavrin_seek(file, here, SEEK_SET) != 0) return -1;
  return end;
}

} // namespace tavrin

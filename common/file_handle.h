#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace tavrin {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

// An open stream that is closed on every path out of its scope.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` with `mode`; a null path opens nothing.
FileHandle open_file(const char *path, const char *mode);

// Closes the stream now and tells whether everything written reached the file.
bool close_file(FileHandle &file);

// Moves the read position of `file`, now `position` bytes from the start, to
// `offset` bytes from the start. A stream that cannot seek (a pipe) is read
// forward instead when the offset lies ahead. Returns false when neither works.
bool seek_from_start(std::FILE *file, int64_t offset, int64_t position);

// Length of the file behind `file` in bytes, or -1 when it cannot be told (a
// pipe, say). The read position is left where it was.
int64_t file_length(std::FILE *file);

} // namespace tavrin

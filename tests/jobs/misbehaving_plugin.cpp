// A stand-in for the sunglasses plug-in (same library name and export, in a
// folder of its own for --plugin-dir) that misbehaves on demand. The colour
// of the picture's first pixel picks what it does, so the choice survives
// any renaming of the files on their way to the plug-in:
//   red: crashes      green: hangs       blue: exhausts memory
//   magenta: prints without end          yellow: ends the process
//   anything else: copies the picture and reports a face when the pixel is white.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "export.h"
#include "file_handle.h"
#include "narrow_path.h"

namespace {

struct Bgr {
  uint8_t b = 0, g = 0, r = 0;
  bool is(uint8_t red, uint8_t green, uint8_t blue) const { return r == red && g == green && b == blue; }
};

bool read_all(const char *path, std::vector<uint8_t> &bytes) {
  tavrin::FileHandle f = tavrin::open_file(path, "rb");
  if (!f) return false;
  uint8_t block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f.get())) > 0) bytes.insert(bytes.end(), block, block + n);
  return true;
}

Bgr first_pixel(const std::vector<uint8_t> &bmp) {
  if (bmp.size() < 14) return {};
  const size_t at = bmp[10] | bmp[11] << 8 | bmp[12] << 16 | static_cast<size_t>(bmp[13]) << 24;
  if (at + 3 > bmp.size()) return {};
  return {bmp[at], bmp[at + 1], bmp[at + 2]};
}

// noexcept: a bad_alloc here ends the process, as one crossing a real
// plug-in's C export would.
int32_t misbehave(const char16_t *input, const char16_t *output) noexcept {
  const std::string in = tavrin::narrow_path(input), out = tavrin::narrow_path(output);
  std::printf("Loading %s ...\n", in.c_str());
  std::vector<uint8_t> bmp;
  if (!read_all(in.c_str(), bmp)) {
    std::fprintf(stderr, "Cannot open %s\n", in.c_str());
    return 1;
  }
  const Bgr pixel = first_pixel(bmp);
  if (pixel.is(255, 0, 0)) {
    std::printf("About to crash\n");
    raise(SIGSEGV);
  }
  if (pixel.is(0, 255, 0)) {
    std::printf("About to hang\n");
    for (int i = 0; i < 600; ++i) usleep(100 * 1000); // a minute at most
    return 1;
  }
  if (pixel.is(0, 0, 255)) {
    // Address space only, never touched: a limit stops it long before the
    // machine notices. Unhandled on purpose: bad_alloc meets noexcept.
    std::vector<char *> blocks;
    for (int i = 0; i < 4096; ++i) blocks.push_back(new char[size_t{256} << 20]);
    return 1;
  }
  if (pixel.is(255, 0, 255)) {
    for (int i = 0; i < 100000; ++i) std::printf("line %d of a plug-in that does not stop talking\n", i);
  }
  if (pixel.is(255, 255, 0)) _exit(3);
  if (pixel.is(255, 255, 255)) std::printf("Left eye:  center=(1,1)\n");
  tavrin::FileHandle f = tavrin::open_file(out.c_str(), "wb");
  if (!f || std::fwrite(bmp.data(), 1, bmp.size(), f.get()) != bmp.size() || !tavrin::close_file(f)) {
    std::fprintf(stderr, "Cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("Done!\n");
  return 999;
}

} // namespace

TAVRIN_EXPORT int32_t BMPSunglases(const char16_t *input, const char16_t *output) {
  return misbehave(input, output);
}

// tavrin_plugin_call EFFECT IN OUT: one plug-in called the way the host of a
// BMP-only build calls it (the Windows tavrin.exe): the two paths handed on
// as UTF-16, the plug-in's own lines, exit 0 when it wrote the output, 1
// when it failed, 2 when it cannot be loaded. The Linux side of the
// comparison with the Windows DLLs, where the photo path's own checks would
// speak before the plug-in could.
#include <cstdio>
#include <string>

#include "plugins/library.h"
#include "plugins/registry.h"
#include "plugins/utf16.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tavrin_plugin_call EFFECT IN OUT\n");
    return 2;
  }
  tavrin::LoadedPlugin loaded;
  std::string why;
  if (!tavrin::load_effect(argv[1], tavrin::program_dir(), loaded, why)) {
    std::fprintf(stderr, "tavrin_plugin_call: %s\n", why.c_str());
    return 2;
  }
  const std::u16string in = tavrin::argument_to_utf16(argv[2]), out = tavrin::argument_to_utf16(argv[3]);
  const int32_t status = loaded.entry()(in.c_str(), out.c_str());
  std::fflush(stdout);
  return status == TAVRIN_STATUS_WRITTEN ? 0 : 1;
}

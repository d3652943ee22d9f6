#include "plugins/registry.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>

#include "plugins/utf16.h"
#else
#include <unistd.h>
#endif

namespace tavrin {

const PluginInfo *find_plugin(const std::string &command) {
  for (const PluginInfo &p : kPlugins)
    if (command == p.command) return &p;
  return nullptr;
}

bool reports_face(const PluginInfo &plugin, std::string_view console) {
  const std::string_view face = plugin.face_line;
  size_t start = 0;
  while (start < console.size()) {
    size_t end = console.find('\n', start);
    if (end == std::string_view::npos) end = console.size();
    // The mustache and beard plug-ins indent their detection lines.
    std::string_view line = console.substr(start, end - start);
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    if (line.starts_with(face)) return true;
    start = end + 1;
  }
  return false;
}

std::string plugin_path(const std::string &dir, const PluginInfo &plugin) {
#if defined(_WIN32)
  return dir + "\\" + plugin.library + ".dll";
#else
  return dir + "/" + plugin.library + ".so";
#endif
}

std::string program_path() {
  std::string path;
#if defined(_WIN32)
  // No MAX_PATH cap: grow until the whole name fits.
  std::wstring buffer(260, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    if (buffer.size() > 32768) return "";
    buffer.resize(buffer.size() * 2);
  }
  path = wide_to_utf8(buffer);
#else
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buffer.size()) {
      path.assign(buffer.data(), static_cast<size_t>(n));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
#endif
  return path;
}

std::string program_dir() {
  const std::string path = program_path();
#if defined(_WIN32)
  size_t cut = path.find_last_of("\\/");
#else
  size_t cut = path.rfind('/');
#endif
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

} // namespace tavrin

#include "plugin_loader.h"

#include <cstring>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace tavrin {

const PluginInfo *find_plugin(const std::string &command) {
  for (const PluginInfo &p : kPlugins)
    if (command == p.command) return &p;
  return nullptr;
}

std::string plugin_path(const std::string &dir, const PluginInfo &plugin) {
#if defined(_WIN32)
  return dir + "\\" + plugin.library + ".dll";
#else
  return dir + "/" + plugin.library + ".so";
#endif
}

std::string program_dir() {
#if defined(_WIN32)
  char buffer[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, n);
  size_t cut = path.find_last_of("\\/");
#else
  std::string path;
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return ".";
    if (static_cast<size_t>(n) < buffer.size()) {
      path.assign(buffer.data(), static_cast<size_t>(n));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  size_t cut = path.rfind('/');
#endif
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

LoadedPlugin::LoadedPlugin(LoadedPlugin &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)) {}

LoadedPlugin &LoadedPlugin::operator=(LoadedPlugin &&other) noexcept {
  if (this != &other) {
    this->~LoadedPlugin();
    handle_ = std::exchange(other.handle_, nullptr);
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

LoadedPlugin::~LoadedPlugin() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
  entry_ = nullptr;
}

bool LoadedPlugin::load(const std::string &path, const char *symbol, std::string &error) {
  *this = LoadedPlugin();
#if defined(_WIN32)
  HMODULE h = LoadLibraryA(path.c_str());
  if (h == nullptr) {
    error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  handle_ = h;
  // Through a generic function pointer: FARPROC's own signature is unrelated.
  entry_ = reinterpret_cast<OverlayExport>(
      reinterpret_cast<void (*)()>(GetProcAddress(h, symbol)));
  if (entry_ == nullptr) {
    error = path + " has no function " + symbol;
    return false;
  }
#else
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char *why = dlerror();
    error = why != nullptr ? why : ("cannot load " + path);
    return false;
  }
  handle_ = h;
  entry_ = reinterpret_cast<OverlayExport>(dlsym(h, symbol));
  if (entry_ == nullptr) {
    error = path + " has no function " + symbol;
    return false;
  }
#endif
  return true;
}

} // namespace tavrin

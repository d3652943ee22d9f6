#include "plugins/library.h"

#include <utility>

#if defined(_WIN32)
#include <windows.h>

#include "plugins/utf16.h"
#else
#include <dlfcn.h>
#endif

#include "plugins/registry.h"

namespace tavrin {

LoadedPlugin::LoadedPlugin(LoadedPlugin &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)) {}

LoadedPlugin &LoadedPlugin::operator=(LoadedPlugin &&other) noexcept {
  if (this != &other) {
    reset();
    handle_ = std::exchange(other.handle_, nullptr);
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

void LoadedPlugin::reset() noexcept {
  entry_ = nullptr;
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
}

bool LoadedPlugin::load(const std::string &path, const char *symbol, std::string &error) {
  reset();
#if defined(_WIN32)
  const std::u16string wide = utf8_to_utf16(path);
  HMODULE h = LoadLibraryW(reinterpret_cast<const wchar_t *>(wide.c_str()));
  if (h == nullptr) {
    error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  handle_ = h;
  // Through a generic function pointer: FARPROC's own signature is unrelated.
  entry_ = reinterpret_cast<OverlayExport>(
      reinterpret_cast<void (*)()>(GetProcAddress(h, symbol)));
#else
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char *why = dlerror();
    error = why != nullptr ? why : ("cannot load " + path);
    return false;
  }
  handle_ = h;
  entry_ = reinterpret_cast<OverlayExport>(dlsym(h, symbol));
#endif
  if (entry_ == nullptr) {
    reset();
    error = path + " has no function " + symbol;
    return false;
  }
  return true;
}

bool load_effect(const std::string &effect, const std::string &dir, LoadedPlugin &plugin, std::string &error) {
  const PluginInfo *info = find_plugin(effect);
  if (info == nullptr) {
    error = "unknown effect " + effect;
    return false;
  }
  std::string why;
  if (!plugin.load(plugin_path(dir, *info), info->symbol, why)) {
    error = "cannot load the " + effect + " plug-in: " + why;
    return false;
  }
  return true;
}

} // namespace tavrin

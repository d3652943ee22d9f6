// Loads plug-ins at run time the way the real host does: by file name from a
// folder, then the export by name.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin {

using OverlayExport = int32_t (*)(const char16_t *input, const char16_t *output);

struct PluginInfo {
  const char *command;  // word on the tavrin command line
  const char *library;  // library name without its platform suffix
  const char *symbol;   // the one exported function
  const char *suffix;   // what demo output files are named after
};

inline constexpr PluginInfo kPlugins[] = {
    {"sunglasses", "TavrinBMPSunglasses", "BMPSunglases", "sunglasses"},
    {"mustache", "TavrinBMPMustache", "BMPMustache", "mustache"},
    {"hat", "TavrinBMPFaceHat", "BMPFaceHat", "hat"},
    {"beard", "TavrinBMPFaceBeard", "BMPBeard", "beard"},
};

const PluginInfo *find_plugin(const std::string &command);

// "dir/TavrinBMPSunglasses.so" or ".dll".
std::string plugin_path(const std::string &dir, const PluginInfo &plugin);

// Folder of the running program, or "." when it cannot be told.
std::string program_dir();

// A loaded plug-in; unloads on destruction.
class LoadedPlugin {
public:
  LoadedPlugin() = default;
  LoadedPlugin(const LoadedPlugin &) = delete;
  LoadedPlugin &operator=(const LoadedPlugin &) = delete;
  LoadedPlugin(LoadedPlugin &&other) noexcept;
  LoadedPlugin &operator=(LoadedPlugin &&other) noexcept;
  ~LoadedPlugin();

  // Loads `path` and looks `symbol` up. On failure returns false and fills
  // `error` with the system's reason.
  bool load(const std::string &path, const char *symbol, std::string &error);
  OverlayExport entry() const { return entry_; }

private:
  void *handle_ = nullptr;
  OverlayExport entry_ = nullptr;
};

} // namespace tavrin

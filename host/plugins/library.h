// Loads a plug-in at run time the way the real host does: by file name from a
// folder, then the export by name.
#pragma once

#include <string>

#include "tavrin/overlay.h"

namespace tavrin {

using OverlayExport = tavrin_overlay_fn;

// A loaded plug-in; unloads on destruction.
class LoadedPlugin {
public:
  LoadedPlugin() = default;
  LoadedPlugin(const LoadedPlugin &) = delete;
  LoadedPlugin &operator=(const LoadedPlugin &) = delete;
  LoadedPlugin(LoadedPlugin &&other) noexcept;
  LoadedPlugin &operator=(LoadedPlugin &&other) noexcept;
  ~LoadedPlugin() { reset(); }

  // Loads `path` (UTF-8) and looks `symbol` up. On failure returns false and
  // fills `error` with the system's reason.
  bool load(const std::string &path, const char *symbol, std::string &error);
  OverlayExport entry() const { return entry_; }
  // Unloads, if anything is loaded.
  void reset() noexcept;

private:
  void *handle_ = nullptr;
  OverlayExport entry_ = nullptr;
};

// Loads the plug-in of the effect named `effect` from `dir`. On failure
// fills `error` with one line: "unknown effect X" or "cannot load the X
// plug-in: reason".
bool load_effect(const std::string &effect, const std::string &dir, LoadedPlugin &plugin, std::string &error);

} // namespace tavrin

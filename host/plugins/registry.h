// The plug-ins this host knows (generated from the build's one table) and
// where their libraries are.
#pragma once

#include <string>
#include <string_view>

#include "tavrin/plugin_table.h"

namespace tavrin {

const PluginInfo *find_plugin(const std::string &command);

// Whether a plug-in's standard output has its line that reports a face found.
bool reports_face(const PluginInfo &plugin, std::string_view console);

// "dir/TavrinBMPSunglasses.so" or ".dll".
std::string plugin_path(const std::string &dir, const PluginInfo &plugin);

// Full path of the running program (UTF-8), or "" when it cannot be told.
std::string program_path();

// Folder of the running program (UTF-8), or "." when it cannot be told.
std::string program_dir();

} // namespace tavrin

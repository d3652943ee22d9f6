// The page's files, built into the program from host/server/web/ (see
// cmake/EmbedFiles.cmake), so the page works with nothing else around.
#pragma once

#include <span>
#include <string_view>

namespace tavrin::server {

struct WebFile {
  std::string_view path;         // as requested, e.g. "/app.js"
  std::string_view content_type;
  std::string_view body;
};

std::span<const WebFile> web_files();

} // namespace tavrin::server

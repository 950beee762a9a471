// The page's static files, built into the program from web/static/ (see web/embed.cmake).
#pragma once

#include <cstddef>
#include <vector>

namespace tessary::web {

/// One file of the page.
struct Asset {
  const char* path;  ///< URL path, e.g. "/app.js" ("/index.html" is served as "/")
  const char* type;  ///< Content-Type
  const char* data;
  std::size_t size;
};

/// Every file of the page.
const std::vector<Asset>& assets();

}  // namespace tessary::web

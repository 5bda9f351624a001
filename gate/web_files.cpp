#include "web_files.h"

namespace qelgate {

// Until the page is built in: a pointer to the API.
std::optional<StaticFile> FindWebFile(std::string_view path) {
  static constexpr std::string_view kIndex =
      "<!doctype html><title>qelgate</title><p>qelgate's JSON API is at /api/buses.</p>\n";
  if (path == "/" || path == "/index.html") return StaticFile{"text/html; charset=utf-8", kIndex};
  return std::nullopt;
}

}  // namespace qelgate

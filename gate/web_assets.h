// The web page's files (gate/web/ and Debian's dygraphs), built into qelgate
// at build time, so that the page needs nothing from the network or the disk.
#pragma once

#include <string_view>

namespace qelgate {

struct WebAsset {
  std::string_view content_type;
  std::string_view body;
};

// The file served at an URL path ("/" is the page itself, "/app.js",
// "/dygraph.min.js", ...), or nullptr when there is none. A query is not
// part of the path.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace qelgate

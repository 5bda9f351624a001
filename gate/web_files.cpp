#include "web_files.h"

#include "web_assets.h"

namespace qelgate {

std::optional<StaticFile> FindWebFile(std::string_view path) {
  const WebAsset* asset = FindWebAsset(path);
  if (asset == nullptr) return std::nullopt;
  return StaticFile{std::string(asset->content_type), asset->body};
}

}  // namespace qelgate

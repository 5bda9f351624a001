#include "web_assets.h"

#include <array>

namespace qelgate {

// The functions embed_file.cmake generates, one a file.
#define WEB_ASSET(path, type, symbol) std::string_view symbol();
#include "web_asset_list.inc"
#undef WEB_ASSET

namespace {

struct Entry {
  std::string_view path;
  std::string_view content_type;
  std::string_view (*body)();
};

constexpr std::array kEntries{
#define WEB_ASSET(path, type, symbol) Entry{path, type, symbol},
#include "web_asset_list.inc"
#undef WEB_ASSET
};

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
  // Built on first use: the bodies come from functions in other files.
  static const auto assets = [] {
    std::array<WebAsset, kEntries.size()> all{};
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
      all[i] = {kEntries[i].content_type, kEntries[i].body()};
    }
    return all;
  }();
  if (path == "/") path = "/index.html";
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (kEntries[i].path == path) return &assets[i];
  }
  return nullptr;
}

}  // namespace qelgate

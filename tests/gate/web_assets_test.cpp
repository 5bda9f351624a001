#include "web_assets.h"

#include <gtest/gtest.h>

namespace {

using qelgate::FindWebAsset;

TEST(WebAssets, PageAndItsFilesAreBuiltIn) {
  const auto* page = FindWebAsset("/");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->content_type, "text/html; charset=utf-8");
  // Every file the page loads is served from the binary, none from elsewhere.
  for (const char* file : {"app.js", "style.css", "dygraph.min.js", "dygraph.min.css"}) {
    EXPECT_NE(page->body.find(file), std::string_view::npos) << file;
    const auto* asset = FindWebAsset(std::string("/") + file);
    ASSERT_NE(asset, nullptr) << file;
    EXPECT_GT(asset->body.size(), 10u) << file;
  }
  EXPECT_EQ(page->body.find("http"), std::string_view::npos);
  EXPECT_NE(FindWebAsset("/dygraph.min.js")->body.find("Dygraph"), std::string_view::npos);
  EXPECT_EQ(FindWebAsset("/app.js")->content_type, "text/javascript; charset=utf-8");
}

TEST(WebAssets, UnknownPathsAreNotFound) {
  for (const char* path : {"", "/nope", "app.js", "/app.js?x=1", "/../app.js", "//"}) {
    EXPECT_EQ(FindWebAsset(path), nullptr) << path;
  }
}

}  // namespace

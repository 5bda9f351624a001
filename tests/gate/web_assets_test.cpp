#include "web_assets.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using qelgate::FindWebAsset;

TEST(WebAssets, EveryFileThePageLoadsIsBuiltIn) {
  const auto* page = FindWebAsset("/");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->content_type, "text/html; charset=utf-8");
  EXPECT_EQ(FindWebAsset("/index.html"), page);
  // Each src= and href= of the page names a file served from the binary:
  // nothing comes from elsewhere (the icon is a data: URL).
  const std::string html(page->body);
  const std::regex ref(R"re((src|href)="([^"]*)")re");
  int files = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), ref); it != std::sregex_iterator();
       ++it) {
    const std::string target = (*it)[2];
    if (target.starts_with("data:")) continue;
    const auto* asset = FindWebAsset("/" + target);
    ASSERT_NE(asset, nullptr) << target;
    EXPECT_GT(asset->body.size(), 10u) << target;
    ++files;
  }
  EXPECT_GE(files, 4);
  EXPECT_NE(FindWebAsset("/dygraph.min.js")->body.find("Dygraph"), std::string_view::npos);
  EXPECT_EQ(FindWebAsset("/app.js")->content_type, "text/javascript; charset=utf-8");
  EXPECT_EQ(FindWebAsset("/style.css")->content_type, "text/css; charset=utf-8");
}

TEST(WebAssets, UnknownPathsAreNotFound) {
  for (const char* path : {"", "/nope", "app.js", "/app.js?x=1", "/../app.js", "//", "/web/app.js"}) {
    EXPECT_EQ(FindWebAsset(path), nullptr) << path;
  }
}

}  // namespace

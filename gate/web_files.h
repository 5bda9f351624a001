// The page's files as qelgate serves them.
#pragma once

#include <optional>
#include <string_view>

#include "web_api.h"

namespace qelgate {

std::optional<StaticFile> FindWebFile(std::string_view path);

}  // namespace qelgate

#include "web_types.h"

#include <algorithm>
#include <cctype>

namespace qelgate {

bool CaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

std::string HttpRequest::Param(const std::string& key) const {
  const auto it = query.find(key);
  return it == query.end() ? std::string() : it->second;
}

std::string HttpRequest::Header(const std::string& key) const {
  const auto it = headers.find(key);
  return it == headers.end() ? std::string() : it->second;
}

ApiResult WebError(int status, const char* name, const std::string& message) {
  return {status, {{"error", {{"code", nullptr}, {"name", name}, {"message", message}}}}};
}

std::string EventText(std::string_view event, const Json& data) {
  // dump() escapes newlines, so the data is one line.
  std::string text = "event: ";
  text.append(event);
  text += "\ndata: ";
  text += data.dump(-1, ' ', false, Json::error_handler_t::replace);
  text += "\n\n";
  return text;
}

}  // namespace qelgate

// qelgate's web API: the requests of the page and of scripts, answered from
// the buses' state or as tasks queued on their bus threads. Every request
// passes the token and Origin checks and the body limits first; nothing a
// client sends ends in anything but an answer with a status.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web_bus.h"
#include "web_types.h"

namespace qelgate {

// Event streams a server keeps open at once.
inline constexpr size_t kMaxStreams = 8;
inline constexpr size_t kMaxJsonBody = size_t{1} << 20;
inline constexpr size_t kMaxHexBody = size_t{16} << 20;

struct WebConfig {
  std::string host = "127.0.0.1";  // the server's own address, for Origin
  int port = 8080;
  std::string token;
  size_t max_streams = kMaxStreams;
};

// The page's files: content type and bytes, or nothing for an unknown path.
struct StaticFile {
  std::string content_type;
  std::string_view bytes;
};
using FileLookup = std::function<std::optional<StaticFile>(std::string_view path)>;

class WebApi {
 public:
  WebApi(WebConfig config, std::vector<WebBus*> buses, FileLookup files);
  HttpResponse Handle(const HttpRequest& request);

  size_t open_streams() const { return *streams_; }

 private:
  HttpResponse Page(const HttpRequest& rq);
  HttpResponse Api(const HttpRequest& rq);
  bool Authorized(const HttpRequest& rq) const;
  bool SameOrigin(const std::string& origin) const;
  WebBus* FindBus(std::string_view name) const;

  WebConfig config_;
  std::vector<WebBus*> buses_;
  FileLookup files_;
  std::shared_ptr<std::atomic<size_t>> streams_ = std::make_shared<std::atomic<size_t>>(0);
};

// A fresh token: 32 hex digits from std::random_device.
std::string RandomToken();

}  // namespace qelgate

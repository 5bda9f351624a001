// The web API on a socket: cpp-httplib's server, its requests handed to
// WebApi as plain values and its event streams sent as server-sent events.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "web_api.h"

namespace httplib {
class Server;
}

namespace qelgate {

struct HttpConfig {
  std::string host = "127.0.0.1";
  int port = 8080;
  size_t max_streams = 8;
};

class HttpFront {
 public:
  HttpFront(const HttpConfig& config, WebApi& api);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds the socket; false with the reason in `error`.
  bool Listen(std::string& error);
  // Serves until Stop (from another thread).
  void Run();
  void Stop();

 private:
  HttpConfig config_;
  WebApi& api_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<bool> stopping_{false};
};

}  // namespace qelgate

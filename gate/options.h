// qelgate's command line: one bus from flags.
#pragma once

#include <chrono>
#include <string>

#include "bus_worker.h"
#include "serve.h"
#include "tcp_front.h"

namespace qelgate {

// Where the web page and its API are served; port 0: not at all.
struct HttpAddress {
  std::string host;
  int port = 0;
  std::string Text() const { return host + ":" + std::to_string(port); }
  bool operator<(const HttpAddress& o) const { return Text() < o.Text(); }
};

struct GateOptions {
  LineConfig line;
  BusSetup setup;
  FrontConfig front;
  size_t queue_limit = 64;
  HttpAddress http;  // buses of one address share its server
};

// The command line: one bus from flags, or the buses of a --config file.
struct CommandLine {
  GateOptions bus;
  std::string config;      // --config FILE; then `bus` holds only --verbose
  std::string token_file;  // --token-file: the web API's token, not a random one
};

// Parses argv; on --help or an error prints and sets `exit_code` (0 or 2)
// and returns false.
bool ParseOptions(int argc, char** argv, CommandLine& line, int& exit_code);

// "HOST:PORT" into `front`; false with the reason in `why`.
bool ParseListen(const std::string& text, FrontConfig& front, std::string& why);
bool ParseHttp(const std::string& text, HttpAddress& http, std::string& why);

}  // namespace qelgate

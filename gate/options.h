// qelgate's command line: one bus from flags.
#pragma once

#include <chrono>
#include <string>

#include "bus_worker.h"
#include "serve.h"
#include "tcp_front.h"

namespace qelgate {

struct GateOptions {
  LineConfig line;
  BusSetup setup;
  FrontConfig front;
  size_t queue_limit = 64;
};

// The command line: one bus from flags, or the buses of a --config file.
struct CommandLine {
  GateOptions bus;
  std::string config;  // --config FILE; then `bus` holds only --verbose
};

// Parses argv; on --help or an error prints and sets `exit_code` (0 or 2)
// and returns false.
bool ParseOptions(int argc, char** argv, CommandLine& line, int& exit_code);

// "HOST:PORT" into `front`; false with the reason in `why`.
bool ParseListen(const std::string& text, FrontConfig& front, std::string& why);

}  // namespace qelgate

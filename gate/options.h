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

// Parses argv; on --help or an error prints and sets `exit_code` (0 or 2)
// and returns false.
bool ParseOptions(int argc, char** argv, GateOptions& options, int& exit_code);

}  // namespace qelgate

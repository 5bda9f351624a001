// qelgate's bus file: many buses, one listen address each, in YAML.
//
//   buses:
//     - name: line1
//       port: /dev/ttyUSB0        # left out: the embedded virtual bus
//       baud: 19200
//       retries: 5
//       echo: false
//       big: [2, 7]
//       factors: [1, 248.32089, 0.476806640625]
//       factors-big: [1, 277.921875, 0.3609375]
//       listen: 127.0.0.1:1502
//       writable: true
//       protected-writes: false   # writes to read-only and identity registers
//       max-connections: 16
//       idle-timeout: 60
//       queue: 64
//       extra-window-ms: 0
//       http: 127.0.0.1:8081      # this bus's own web page
//   http: 127.0.0.1:8080          # the web page of the buses without their own
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"

namespace qelgate {

struct BusEntry {
  std::string name;
  GateOptions options;
};

// "FILE:LINE: key 'baud': not a number", for a file refused at start.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<BusEntry> ParseConfig(const std::string& text, const std::string& source);
std::vector<BusEntry> LoadConfig(const std::string& path);

}  // namespace qelgate

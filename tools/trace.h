// --trace: every block written to or read from the line, as hex with a
// one-line decoding, on stderr.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"

namespace qelctl {

// Decodes one complete telegram ("read motor 1 register P_SOLL (3)");
// empty when the bytes are not one well-formed telegram. `big` picks the
// table that names registers.
std::string DescribeTelegram(bool from_host, const std::vector<uint8_t>& bytes, bool big);

class Tracer {
 public:
  // `is_big` tells the table of a motor address, for register names.
  Tracer(std::ostream& err, uint64_t start_ms, std::function<bool(int)> is_big);
  void operator()(const qelcomm::TraceEvent& event);

 private:
  std::ostream& err_;
  uint64_t start_ms_;
  std::function<bool(int)> is_big_;
  int last_address_ = 0;
  // Replies may arrive in several reads; they are decoded once complete.
  std::vector<uint8_t> reply_;
};

}  // namespace qelctl

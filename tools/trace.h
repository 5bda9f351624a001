// --trace: every block written to or read from the line, as hex with a
// one-line decoding, on stderr.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/telegram_text.h"

namespace qelctl {

// The library's telegram decoder, under the name the tool has always used.
using qelcomm::DescribeTelegram;

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

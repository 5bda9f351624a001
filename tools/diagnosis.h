// Why an exchange failed, in words: the control keeps its codes, and the
// trace hook shows what the line did during the call. One line of diagnosis
// comes from that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qelcomm/trace.h"

namespace qelctl {

// What the line showed during one call: each attempt's request and every
// byte that came back for it (read or thrown away).
class LineLog {
 public:
  struct Attempt {
    std::vector<uint8_t> sent;
    std::vector<uint8_t> received;
    std::vector<uint8_t> echoed;  // taken as the request's echo (--echo)
  };
  void Clear() { attempts_.clear(); }
  void Add(const qelcomm::TraceEvent& event);
  const std::vector<Attempt>& attempts() const { return attempts_; }

 private:
  std::vector<Attempt> attempts_;
};

// One line on why the call failed with `code`, or empty when the line shows
// nothing the code does not say. `echo`: the call expected its echo.
std::string Diagnose(const LineLog& log, uint32_t code, bool echo);
// After a read of a 16-bit register that succeeded: a note when the reply
// carried high bytes, which a big motor sends; empty otherwise.
std::string CheckWidth(const LineLog& log, int address);

}  // namespace qelctl

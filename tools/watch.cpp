#include "watch.h"

#include <algorithm>

#include "format.h"

namespace qelctl {

// An OS error from a reading: the line itself failed (an adapter pulled,
// a server gone), not the motor.
bool LineFailed(int32_t code) { return code != 0 && qelcomm::ErrorName(uint32_t(code)) == nullptr; }

// Marks the gap in one line (or object), then opens the port again with
// backoff until it opens; false when Ctrl-C ends the watch first.
bool Reopen(Session& s, int address, const Session::Judged& lost, uint64_t time_ms) {
  constexpr uint32_t kFirstWaitMs = 250, kLongestWaitMs = 4000;
  if (s.json()) {
    s.PrintJson({{"time_ms", time_ms}, {"address", address}, {"line_lost", lost.json}}, true);
  } else {
    s.out() << "+" << Seconds(time_ms) << "s  motor " << address << ": line lost (" << lost.text
            << "); reopening until it is back" << std::endl;
  }
  for (uint32_t wait = kFirstWaitMs;; wait = std::min(wait * 2, kLongestWaitMs)) {
    if (!s.Pause(wait)) return false;
    s.ctrl().ClosePort();
    const bool ok = s.ctrl().OpenPort();
    s.ctrl().GetLastError();
    s.NewCall();
    if (ok) return true;
  }
}

}  // namespace qelctl

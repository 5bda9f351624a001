// The POSIX wake-up: a non-blocking pipe whose read end every wait polls
// beside its own descriptor, so that Wake (one write, safe in a signal
// handler) ends the wait at once.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>

#include "qelcomm/platform.h"

namespace qelcomm::posix {

std::shared_ptr<Wakeup> NewPipeWakeup();

// ppoll of `p` (p.fd < 0: none, a plain sleep) and of `wakeup`'s handle for
// at most `ns` nanoseconds. Gives ppoll's result for `p` (-1 with errno on
// failure) and sets `woken`. `wakeup` may be null.
int PollUnlessWoken(pollfd& p, uint64_t ns, Wakeup* wakeup, bool& woken);

// Sleeps `ns` nanoseconds unless woken first; true when woken.
inline bool NapUnlessWoken(uint64_t ns, Wakeup* wakeup) {
  pollfd none{-1, 0, 0};
  bool woken = false;
  PollUnlessWoken(none, ns, wakeup, woken);
  return woken;
}

}  // namespace qelcomm::posix

// What every --watch shares: a lost line is a gap in the readings, not
// their end.
#pragma once

#include <cstdint>

#include "session.h"

namespace qelctl {

// An OS error from a reading: the line itself failed (an adapter pulled,
// a server gone), not the motor.
bool LineFailed(int32_t code);

// Marks the gap in one line (or object), then opens the port again with
// backoff until it opens; false when Ctrl-C ends the watch first.
bool Reopen(Session& s, int address, const Session::Judged& lost, uint64_t time_ms);

}  // namespace qelctl

// The trace hook: every block of bytes the control puts on the line or takes
// from it, for tools and hosts that want to watch the protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qelcomm {

// `time_ms` is the platform's monotonic clock. `data` is valid only during
// the callback. Echoed: with echo on, the telegram's own bytes as they came
// back from the line and were taken off it.
struct TraceEvent {
  enum class Direction { Sent, Received, Discarded, Echoed };
  Direction direction;
  uint64_t time_ms;
  const uint8_t* data;
  size_t size;
};
using TraceCallback = std::function<void(const TraceEvent&)>;

}  // namespace qelcomm

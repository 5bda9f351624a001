// The POSIX monotonic clock that every bounded wait of this backend uses.
#pragma once

#include <time.h>

#include <cstdint>

namespace qelcomm::posix {

inline uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

inline uint64_t MonotonicMs() { return MonotonicNs() / 1'000'000u; }

}  // namespace qelcomm::posix

// Bit rates without a Bnnn constant. Linux sets any rate the driver can
// make through termios2 (BOTHER); elsewhere only the standard rates exist.
#pragma once

#include <cstdint>

namespace qelcomm::posix {

inline constexpr bool kHasCustomBitRates =
#ifdef __linux__
    true;
#else
    false;
#endif

// Sets both directions of `fd` to `baud`; 0, or the errno of the refusal.
// A driver that would substitute a rate more than 3% off refuses (EINVAL).
int SetCustomBitRate(int fd, int32_t baud);

}  // namespace qelcomm::posix

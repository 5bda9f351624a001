// Kept apart from the termios code: <asm/termbits.h>, which declares
// termios2, clashes with <termios.h>.
#include "platform/posix/custom_bit_rate.h"

#include <cerrno>
#include <cstdlib>

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace qelcomm::posix {

#ifdef __linux__
int SetCustomBitRate(int fd, int32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = speed_t(baud);
  t.c_ospeed = speed_t(baud);
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  // Drivers round to what their clock divides down to: read back.
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  const long off = std::labs(long(t.c_ospeed) - long(baud));
  return off * 100 > long(baud) * 3 ? EINVAL : 0;
}
#else
int SetCustomBitRate(int, int32_t) { return EINVAL; }
#endif

}  // namespace qelcomm::posix

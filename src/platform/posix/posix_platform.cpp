// POSIX backend: termios for the line (termios2 for other bit rates on
// Linux), poll for the waits.
//
// Port numbers map to device names as follows (for hosts that only know a
// number; PortName accepts any path):
//   1 .. 99    -> /dev/ttyS0 .. /dev/ttyS98   (COM1 is the first UART)
//   100 .. 199 -> /dev/ttyUSB0 .. /dev/ttyUSB99
//   200 .. 299 -> /dev/ttyACM0 .. /dev/ttyACM99
// Any other number names no device, and opening it fails with ENOENT.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include "platform/net/network_port.h"
#include "platform/posix/custom_bit_rate.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/posix/posix_socket.h"
#include "platform/posix/posix_wakeup.h"
#include "qelcomm/platform.h"

namespace qelcomm {
namespace {

using posix::MonotonicMs;
using posix::MonotonicNs;

// A pseudo-terminal's slave has no wire behind it: its transmit queue
// always reads empty, so asking it after every write only costs a call.
bool IsPtySlave(int fd) {
#ifdef __linux__
  constexpr unsigned kFirstSlaveMajor = 136, kLastSlaveMajor = 143;  // Unix 98 pty slaves
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= kFirstSlaveMajor &&
         major(st.st_rdev) <= kLastSlaveMajor;
#else
  (void)fd;
  return false;
#endif
}

speed_t SpeedFor(int32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
    case 921600: return B921600;
#endif
    default: return B0;
  }
}

class PosixDevice : public SerialDevice {
 public:
  explicit PosixDevice(int fd) : fd_(fd), pty_(IsPtySlave(fd)) {}
  ~PosixDevice() override {
    // Clear the exclusive flag first: it belongs to the tty and would
    // otherwise outlive us while another process (a simulator holding the
    // slave side) keeps the tty open.
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  // The kernel's queues have a fixed size; nothing to request.
  OsError SetQueueSizes(size_t, size_t) override { return 0; }

  OsError Configure(const LineSettings& settings) override {
    termios t{};
    tcgetattr(fd_, &t);  // a failure leaves t zeroed; the write-back decides
    // Standard rates through their Bnnn constants; others, where the
    // system has a way, once the rest is set.
    const speed_t speed = SpeedFor(settings.baud);
    const bool custom = speed == B0;
    if (settings.baud <= 0 || (custom && !posix::kHasCustomBitRates)) return EINVAL;
    // Raw mode: no echo, no canonical input, no CR/LF translation and no
    // software flow control, so every byte (0x11 and 0x13 included) passes
    // unchanged.
    cfmakeraw(&t);
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cflag &= ~tcflag_t(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (!custom) {
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
    }
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return OsError(errno);
    if (custom) {
      if (const int error = posix::SetCustomBitRate(fd_, settings.baud)) return OsError(error);
    }
    baud_ = settings.baud;
    RequestLowLatency();
    return 0;
  }

  // Empties the receive side. Bytes already written stay queued for the
  // wire: every write has left, or is leaving, when it returns, and flushing the
  // transmit queue would cut off a telegram still leaving (the last copy of
  // a group write, which nobody answers, is lost that way).
  void Discard() override {
    tcflush(fd_, TCIFLUSH);
    rx_.clear();
  }

  QueueCounts Counts() override {
    QueueCounts c;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) == 0 && n > 0) c.rx = size_t(n);
    c.rx += rx_.size();
    // Only our writes fill the transmit queue: once seen empty it stays so
    // until the next one, and every exchange need not ask again.
    if (!tx_empty_) {
      int out = 0;
      if (ioctl(fd_, TIOCOUTQ, &out) == 0) {
        c.tx = size_t(std::max(out, 0));
        tx_empty_ = out <= 0;
      }
    }
    return c;
  }

  size_t Read(uint8_t* buf, size_t n) override {
    size_t got = 0;
    while (got < n && !rx_.empty()) {
      buf[got++] = rx_.front();
      rx_.pop_front();
    }
    while (got < n) {
      const ssize_t r = ::read(fd_, buf + got, n - got);
      if (r > 0) {
        got += size_t(r);
      } else if (r == 0 || errno != EINTR) {
        if (r < 0 && errno != EAGAIN) NoteLost(errno);
        break;
      }
    }
    return got;
  }

  size_t Write(const uint8_t* buf, size_t n) override {
    // Bound: twice the telegram's wire time at 10 bits a byte, plus a second.
    const uint64_t bound_ns =
        (uint64_t(n) * 20'000'000'000ull) / uint64_t(baud_ > 0 ? baud_ : 1) + 1'000'000'000ull;
    const uint64_t end = MonotonicNs() + bound_ns;
    tx_empty_ = pty_;
    size_t done = 0;
    while (done < n && lost_ == 0) {
      const ssize_t w = ::write(fd_, buf + done, n - done);
      if (w > 0) {
        done += size_t(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) {
        NoteLost(errno);
        break;
      }
      const uint64_t now = MonotonicNs();
      if (now >= end) break;
      pollfd p{fd_, POLLOUT, 0};
      const timespec ts{time_t((end - now) / 1'000'000'000u), long((end - now) % 1'000'000'000u)};
      ppoll(&p, 1, &ts, nullptr);
    }
    if (done == n && !pty_) AwaitTransmitted(end);
    return done;
  }

  // write() returns once the kernel has the bytes, but the reply window
  // must start when the telegram has left the host: at 19200 bit/s a page
  // takes 138 ms on the wire. Sleeps for the wire time of what is still
  // queued until the queue is empty. A queue that stops shrinking (a pty
  // that nobody reads, a stalled adapter) ends the wait, as does `end`.
  void AwaitTransmitted(uint64_t end) {
    const uint64_t byte_ns = 10'000'000'000ull / uint64_t(baud_ > 0 ? baud_ : 1);
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return;
    tx_empty_ = queued <= 0;
    while (queued > 0 && lost_ == 0) {
      const uint64_t now = MonotonicNs();
      if (now >= end) return;
      const uint64_t wait = std::min<uint64_t>(uint64_t(queued) * byte_ns, end - now);
      if (posix::NapUnlessWoken(wait, wakeup_.get())) return;
      int left = 0;
      if (ioctl(fd_, TIOCOUTQ, &left) != 0 || left >= queued) return;
      queued = left;
      tx_empty_ = queued <= 0;
    }
  }

  // Sleeps for the wire time of what is still queued, at least a
  // millisecond, until the queue is empty. A queue the system cannot report
  // counts as sent, as in Counts.
  bool WaitForTransmitted(uint32_t timeout_ms) override {
    const uint64_t end = MonotonicNs() + uint64_t(timeout_ms) * 1'000'000u;
    const uint64_t byte_ns = 10'000'000'000ull / uint64_t(baud_ > 0 ? baud_ : 1);
    for (;;) {
      int queued = 0;
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
      const uint64_t now = MonotonicNs();
      if (lost_ != 0 || now >= end) return false;
      const uint64_t wait =
          std::min(std::max<uint64_t>(uint64_t(queued) * byte_ns, 1'000'000u), end - now);
      if (posix::NapUnlessWoken(wait, wakeup_.get())) return false;
    }
  }

  // Polls first: poll also reports bytes that were queued before the call,
  // so an empty line costs no read. What poll reports is moved into our own
  // buffer, so that the next poll only wakes us for bytes that are new.
  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override {
    const uint64_t end = MonotonicNs() + uint64_t(timeout_ms) * 1'000'000u;
    for (;;) {
      if (rx_.size() >= n || lost_ != 0) return rx_.size();
      const uint64_t now = MonotonicNs();
      if (now >= end) {
        Pull();  // a last look, for a wait that had no time at all
        return rx_.size();
      }
      pollfd p{fd_, POLLIN, 0};
      bool woken = false;
      const int r = posix::PollUnlessWoken(p, end - now, wakeup_.get(), woken);
      if (woken) return rx_.size();
      if (r < 0 && errno != EINTR) {
        NoteLost(errno);
        return rx_.size();
      }
      if (r <= 0) continue;
      // A hung-up tty also reports POLLIN but reads nothing: take what is
      // left, and call the line lost when that was all.
      if (Pull() == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        NoteLost(p.revents & POLLNVAL ? EBADF : EIO);
      }
    }
  }

  OsError LostError() const override { return lost_; }
  void Watch(std::shared_ptr<Wakeup> wakeup) override { wakeup_ = std::move(wakeup); }

 private:
  // Moves what is queued into our buffer and gives the count read. One call
  // reads at most one buffer's worth, so a line that never stops sending
  // cannot keep it here. A read that fills less than the chunk took all
  // that was queued, so the usual reply costs one read, not two.
  size_t Pull() {
    uint8_t chunk[256];
    size_t read_now = 0;
    while (read_now < kMaxHeldRxBytes) {
      const ssize_t r = ::read(fd_, chunk, sizeof chunk);
      if (r > 0) {
        read_now += size_t(r);
        const size_t room = kMaxHeldRxBytes - std::min(kMaxHeldRxBytes, rx_.size());
        rx_.insert(rx_.end(), chunk, chunk + std::min(size_t(r), room));
        if (size_t(r) < sizeof chunk) break;
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      // With VMIN and VTIME 0 a tty reads 0 when nothing is queued; a
      // hang-up shows as EIO here or as POLLHUP in the wait.
      if (r < 0 && errno != EAGAIN) NoteLost(errno);
      break;
    }
    return read_now;
  }

  void NoteLost(int error) {
    if (lost_ == 0) lost_ = OsError(error);
  }

  void RequestLowLatency() {
#if defined(__linux__) && defined(TIOCGSERIAL)
    // USB adapters otherwise hold received bytes for up to 16 ms. Ptys and
    // many drivers refuse; that is harmless.
    serial_struct ss{};
    if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
      ss.flags |= ASYNC_LOW_LATENCY;
      ioctl(fd_, TIOCSSERIAL, &ss);
    }
#endif
  }

  int fd_;
  const bool pty_;
  int32_t baud_ = 19200;
  bool tx_empty_ = false;  // the transmit queue was seen empty since the last write
  std::deque<uint8_t> rx_;
  OsError lost_ = 0;
  std::shared_ptr<Wakeup> wakeup_;  // ends the waits early (Cancel)
};

[[maybe_unused]] std::string StrerrorText(int r, const char* buf) {
  return r == 0 ? std::string(buf) : std::string();
}
[[maybe_unused]] std::string StrerrorText(const char* text, const char*) {
  return text ? std::string(text) : std::string();
}

class PosixPlatform : public Platform {
 public:
  std::string DeviceNameForPort(int16_t n) const override {
    if (n >= 1 && n <= 99) return "/dev/ttyS" + std::to_string(n - 1);
    if (n >= 100 && n <= 199) return "/dev/ttyUSB" + std::to_string(n - 100);
    if (n >= 200 && n <= 299) return "/dev/ttyACM" + std::to_string(n - 200);
    return {};
  }

  std::unique_ptr<SerialDevice> Open(const std::string& name, OsError& error) override {
    error = 0;
    if (name.empty()) {
      error = ENOENT;
      return nullptr;
    }
    if (net::IsNetworkPortName(name)) return net::OpenNetworkPort(name, error);
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = OsError(errno);
      return nullptr;
    }
    // Exclusive: the lock stops a second opener even when it runs as root,
    // TIOCEXCL stops openers that do not take the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = (errno == EWOULDBLOCK) ? EBUSY : OsError(errno);
      ::close(fd);
      return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    return std::make_unique<PosixDevice>(fd);
  }

  uint64_t NowMs() override { return MonotonicMs(); }

  void SleepMs(uint32_t ms) override {
    if (ms == 0) return;
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  std::shared_ptr<Wakeup> NewWakeup() override { return posix::NewPipeWakeup(); }
  void SleepUnlessWoken(uint32_t ms, Wakeup& wakeup) override {
    const uint64_t end = MonotonicNs() + uint64_t{ms} * 1'000'000u;
    for (uint64_t now = MonotonicNs(); now < end; now = MonotonicNs()) {
      if (posix::NapUnlessWoken(end - now, &wakeup)) return;
    }
  }

  OsErrorKind KindOf(OsError error) const override {
    if (posix::ResolverErrorText(error)) return OsErrorKind::kHostNotFound;
    switch (error) {
      case EBUSY: return OsErrorKind::kBusy;
      case ETIMEDOUT: return OsErrorKind::kTimedOut;
      case EPROTONOSUPPORT: return OsErrorKind::kUnsupported;
      case ECONNRESET: case ECONNABORTED: case EPIPE: return OsErrorKind::kClosedByServer;
      default: return OsErrorKind::kOther;
    }
  }

  std::string ErrorText(OsError error) const override {
    if (auto text = posix::ResolverErrorText(error)) return *text;
    char buf[256] = {};
    return StrerrorText(strerror_r(int(error), buf, sizeof buf), buf);
  }
};

}  // namespace

OsError Platform::ReadWholeFile(const std::string& name, std::string& contents,
                                size_t limit) const {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  contents.clear();
  char chunk[65536];
  while (contents.size() <= limit) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    contents.append(chunk, size_t(n));
  }
  ::close(fd);
  return 0;
}

std::shared_ptr<Platform> NativePlatform() {
  static const std::shared_ptr<Platform> platform = std::make_shared<PosixPlatform>();
  return platform;
}

}  // namespace qelcomm

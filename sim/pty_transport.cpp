#include "pty_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace qelcomm::sim {
namespace {

uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

uint32_t BitsPerSecond(speed_t code) {
  static constexpr struct {
    speed_t code;
    uint32_t bps;
  } kSpeeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},   {B9600, 9600},
                 {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
                 {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& s : kSpeeds)
    if (s.code == code) return s.bps;
  return 0;
}

void SleepUs(uint64_t us) {
  timespec ts{static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
  nanosleep(&ts, nullptr);
}

}  // namespace

uint64_t PtyTransport::NowUs() const { return (MonotonicNs() - epoch_ns_) / 1000; }

bool PtyTransport::Open(std::string& error) {
  epoch_ns_ = MonotonicNs();
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    Close();
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error = std::string("ptsname: ") + std::strerror(errno);
    Close();
    return false;
  }
  slave_path_ = name;
  // grantpt leaves the slave writable by the terminal group; the bus is for
  // this user only. Still locked, so nobody can have opened it yet.
  if (chmod(name, S_IRUSR | S_IWUSR) != 0 || unlockpt(master_) != 0) {
    error = "cannot restrict " + slave_path_ + ": " + std::strerror(errno);
    Close();
    return false;
  }
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave_ < 0) {
    error = "cannot open " + slave_path_ + ": " + std::strerror(errno);
    Close();
    return false;
  }
  if (!MakeRaw(slave_) || !MakeRaw(master_)) {
    error = std::string("cannot set raw mode: ") + std::strerror(errno);
    Close();
    return false;
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

void PtyTransport::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

// Our own slave descriptor sees the settings the host made on its side.
void PtyTransport::CheckLineSpeed() {
  termios t{};
  if (!report_speed_ || slave_ < 0 || tcgetattr(slave_, &t) != 0) return;
  const uint32_t speed = BitsPerSecond(cfgetospeed(&t));
  if (speed == 0 || speed == reported_speed_) return;
  reported_speed_ = speed;
  report_speed_(speed);
}

PtyTransport::End PtyTransport::Run(Bus& bus, volatile std::sig_atomic_t& stop,
                                    volatile std::sig_atomic_t& clear_faults) {
  std::deque<Output> pending;
  auto collect = [&] {
    if (!bus.HasOutputs()) return;
    for (Output& o : bus.TakeOutputs()) pending.push_back(std::move(o));
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Output& a, const Output& b) { return a.at_us < b.at_us; });
  };
  uint8_t buf[4096];
  while (stop == 0) {
    if (clear_faults != 0) {
      clear_faults = 0;
      bus.ClearFaults();
    }
    uint64_t now = NowUs();
    // Due bytes first, so a reply goes out before a vanish that follows it.
    while (!pending.empty() && pending.front().at_us <= now) {
      const auto& bytes = pending.front().bytes;
      size_t off = 0;
      while (off < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
          off += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          dropped_ += bytes.size() - off;  // nobody is draining the terminal
          break;
        }
      }
      pending.pop_front();
    }
    if (bus.NextWakeUs() <= now) {
      bus.Wake(now);
      collect();
      continue;
    }
    if (bus.vanished()) {
      Close();
      return End::kVanished;
    }
    uint64_t next = std::min(bus.NextWakeUs(), pending.empty() ? UINT64_MAX : pending.front().at_us);
    uint64_t wait_us = next == UINT64_MAX ? 100'000 : (next > now ? next - now : 0);
    wait_us = std::min<uint64_t>(wait_us, 100'000);  // look at the flags now and then
    if (wait_us > 0 && wait_us < 1000) {
      SleepUs(wait_us);  // poll counts whole milliseconds
      continue;
    }
    pollfd p{master_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(wait_us / 1000));
    if (r < 0) {
      if (errno == EINTR) continue;
      return End::kError;
    }
    if (r == 0) continue;
    if (p.revents & POLLIN) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        CheckLineSpeed();
        bus.Receive({buf, static_cast<size_t>(n)}, NowUs());
        collect();
        if (bus.vanished()) {
          Close();
          return End::kVanished;
        }
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    }
    // Hang-up or EIO: no slave open at the moment. Our own slave descriptor
    // normally prevents this; never spin on it.
    SleepUs(10'000);
  }
  return End::kStopped;
}

}  // namespace qelcomm::sim

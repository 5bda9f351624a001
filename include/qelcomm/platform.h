// The operating-system services the control needs: one serial device, a
// monotonic millisecond clock and a sleep. Everything above this interface is
// portable; each platform supplies one backend (POSIX termios/poll, Win32),
// and the in-memory VirtualPlatform runs the same code in virtual time.
//
// Error contract: operations that can fail return an OS error number
// (errno on POSIX, GetLastError() on Windows), 0 meaning success. The numbers
// are stored unchanged in the control's last-error field, and
// Platform::ErrorText turns them into the system's message.
//
// Thread safety: a Platform may be shared by several controls; a
// SerialDevice is used by one thread at a time (its control's).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qelcomm {

using OsError = uint32_t;

// The OS errors a front end explains in words (see Diagnose).
enum class OsErrorKind : uint8_t {
  kOther,
  kBusy,            // another program holds the device
  kHostNotFound,    // a server's host name did not resolve
  kTimedOut,        // no connection, or no answer from the server, in time
  kUnsupported,     // the server refused an option (RFC 2217's COM-PORT)
  kClosedByServer,  // the server ended the connection
};

// A wake-up for the waits of one control: Wake ends every wait that watches
// it at once, and every later one, until the owner clears it. Wake may be
// called from any thread, and on POSIX from a signal handler.
class Wakeup {
 public:
  virtual ~Wakeup() = default;
  virtual void Wake() { woken_.store(true); }
  virtual void Clear() { woken_.store(false); }
  bool Woken() const { return woken_.load(); }
  // For a backend whose wait the handle ended: true when woken; otherwise
  // the handle was signalled by a Wake that a Clear overtook, and is reset
  // so that it cannot end the next wait too.
  virtual bool Settle() { return Woken(); }
  // The descriptor (POSIX) or event handle (Windows) a backend adds to its
  // own waits; -1 when there is none and the flag alone is watched.
  virtual intptr_t Handle() const { return -1; }

 protected:
  std::atomic<bool> woken_{false};
};

// The line settings the control applies at open. Everything else the device
// reported (DTR/RTS handling, special characters) is kept, except that
// software flow control is always switched off: the motors' accept byte 0x11
// is XON and 0x13 is XOFF.
struct LineSettings {
  int32_t baud = 19200;  // 8 data bits, no parity, one stop bit, no CTS flow
};

struct QueueCounts {
  size_t rx = 0;  // received bytes waiting to be read
  size_t tx = 0;  // bytes still to be transmitted (0 where the OS cannot tell)
};

// The most received bytes a device holds for the control beyond the
// system's own queue. A telegram is at most 265 bytes; what a flood brings
// beyond this is dropped, as a UART's overrun would drop it (a network port
// leaves it to TCP's flow control instead), so a line cannot make the
// library allocate.
inline constexpr size_t kMaxHeldRxBytes = 4096;

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Requests receive and transmit queue sizes; may be refused.
  virtual OsError SetQueueSizes(size_t rx, size_t tx) = 0;
  // Reads the device's settings, applies `settings` on top and writes them
  // back. Only the write-back may fail.
  virtual OsError Configure(const LineSettings& settings) = 0;
  // Empties the receive queue. Telegrams already written are not thrown
  // away: they are whole, and the next exchange must not cut them off.
  virtual void Discard() = 0;
  // Clears the device's error state and reports the queue counts.
  virtual QueueCounts Counts() = 0;
  // Reads up to `n` bytes that are already queued; never waits.
  virtual size_t Read(uint8_t* buf, size_t n) = 0;
  // Writes a whole telegram and returns once it has left the host, as far
  // as the system can tell; gives the count written. Bounded by
  // the telegram's wire time plus a margin, never forever.
  virtual size_t Write(const uint8_t* buf, size_t n) = 0;
  // Sleeps until at least `n` bytes are queued, `timeout_ms` has passed, or
  // the device is lost; returns the receive-queue count. Event-driven: no
  // busy polling.
  virtual size_t WaitForBytes(size_t n, uint32_t timeout_ms) = 0;
  // Sleeps until every byte written has left the transmit queue,
  // `timeout_ms` has passed, or the device is lost; true when the queue is
  // empty. Event-driven: no busy polling. The default suits a device whose
  // transmit count is always 0; a device that reports one overrides it.
  virtual bool WaitForTransmitted(uint32_t timeout_ms) {
    (void)timeout_ms;
    return Counts().tx == 0;
  }
  // Non-zero once the device has gone away (adapter unplugged, peer closed):
  // the OS error that showed it. Waits end at once on a lost device.
  virtual OsError LostError() const = 0;
  // The wake-up that ends this device's waits early (see Wakeup). A
  // backend that ignores it still ends its waits at their bound.
  virtual void Watch(std::shared_ptr<Wakeup> wakeup) { (void)wakeup; }
};

class Platform {
 public:
  virtual ~Platform() = default;

  // The device name for a port number ("\\.\COM3" on Windows; see the
  // POSIX backend for its mapping). An empty result means no such port.
  virtual std::string DeviceNameForPort(int16_t com_port) const = 0;
  // Opens `name` for exclusive read/write, only if it exists.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& name,
                                             OsError& error) = 0;
  // Monotonic milliseconds; 64 bits so deadlines never wrap.
  virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // A wake-up its backend's waits watch, and a sleep that it ends early.
  virtual std::shared_ptr<Wakeup> NewWakeup() { return std::make_shared<Wakeup>(); }
  virtual void SleepUnlessWoken(uint32_t ms, Wakeup& wakeup) {
    if (!wakeup.Woken()) SleepMs(ms);
  }
  // The system's own message for an OS error number, unchanged.
  virtual std::string ErrorText(OsError error) const = 0;
  // What an OS error number stands for, where a front end explains it.
  virtual OsErrorKind KindOf(OsError) const { return OsErrorKind::kOther; }
  // Reads the whole of an existing file into `contents`, holding it
  // unshared while it reads where the system knows sharing modes. Reading
  // stops once `contents` holds more than `limit` bytes, so a caller tells
  // an oversized file by its size without reading all of it. The default is
  // this platform's own file system.
  virtual OsError ReadWholeFile(const std::string& name, std::string& contents,
                                size_t limit = SIZE_MAX) const;
};

// The backend of the platform this library was built for.
std::shared_ptr<Platform> NativePlatform();

}  // namespace qelcomm

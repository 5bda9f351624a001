// Win32 backend: a COM port opened with CreateFileA for overlapped I/O.
// Reads never wait longer than asked because every read is bounded by
// COMMTIMEOUTS; a wait sleeps on the read's event and the wake-up's together,
// so that Cancel ends it at once instead of at the read's timeout.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>  // the socket error numbers KindOf names
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net/network_port.h"
#include "qelcomm/platform.h"

namespace qelcomm {
namespace {

// Errors after which the handle is useless: the adapter was unplugged or the
// driver gave up. ERROR_OPERATION_ABORTED is not among them: PurgeComm with
// the abort flags ends a pending transfer with it, which is normal.
bool MeansDeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_HANDLE_EOF:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// Per-byte write time in ms at `baud` (10 bits a byte, rounded up) plus 1 ms
// of slack, so a write that cannot drain ends instead of hanging.
DWORD WriteMultiplierMs(DWORD baud) {
  if (baud == 0) baud = 300;
  return (10000 + baud - 1) / baud + 1;
}

// A manual-reset event: the waits that can watch a handle end on it, the
// sliced reads look at the flag between slices.
class EventWakeup final : public Wakeup {
 public:
  EventWakeup() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~EventWakeup() override {
    if (event_) CloseHandle(event_);
  }
  void Wake() override {
    woken_.store(true);
    if (event_) SetEvent(event_);
  }
  void Clear() override {
    woken_.store(false);
    if (event_) ResetEvent(event_);
  }
  bool Settle() override {
    if (!Woken() && event_) ResetEvent(event_);
    return Woken();
  }
  intptr_t Handle() const override { return event_ ? intptr_t(event_) : -1; }

 private:
  HANDLE event_;
};

// Sleeps `ms` unless `wakeup` (may be null) is woken first; true when woken.
bool SleepUnlessWokenMs(DWORD ms, Wakeup* wakeup) {
  if (!wakeup || wakeup->Handle() == -1) {
    if (wakeup && wakeup->Woken()) return true;
    Sleep(ms);
    return false;
  }
  if (wakeup->Woken()) return true;
  const HANDLE event = reinterpret_cast<HANDLE>(wakeup->Handle());
  return WaitForSingleObject(event, ms) == WAIT_OBJECT_0 && wakeup->Settle();
}

class Win32Device final : public SerialDevice {
 public:
  static constexpr DWORD kLostCheckMs = 100;

  explicit Win32Device(HANDLE handle)
      : handle_(handle), io_done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    // Until Configure runs, bound writes for the speed the port has now and
    // make reads return at once whatever the driver's defaults are.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    write_multiplier_ = WriteMultiplierMs(GetCommState(handle_, &dcb) ? dcb.BaudRate : 0);
    SetReadTimeout(0);
  }
  ~Win32Device() override {
    CloseHandle(handle_);
    if (io_done_) CloseHandle(io_done_);
  }

  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  OsError SetQueueSizes(size_t rx, size_t tx) override {
    if (!SetupComm(handle_, static_cast<DWORD>(rx), static_cast<DWORD>(tx))) return GetLastError();
    return 0;
  }

  OsError Configure(const LineSettings& settings) override {
    COMMPROP props;
    std::memset(&props, 0, sizeof props);
    GetCommProperties(handle_, &props);  // informational only

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle_, &dcb);  // on failure, build on the zeroed record
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    // Software flow control off: the motors acknowledge with 0x11 (XON) and
    // data may hold 0x13 (XOFF); both must arrive as data and never pause
    // our transmitter.
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fBinary = TRUE;
    if (!SetCommState(handle_, &dcb)) return GetLastError();

    write_multiplier_ = WriteMultiplierMs(dcb.BaudRate);
    timeouts_valid_ = false;
    SetReadTimeout(0);
    return 0;
  }

  // Receive side only: every write is complete when it returns, and purging
  // the transmit queue would cut off a telegram still leaving the adapter
  // (the last copy of a group write, which nobody answers).
  void Discard() override {
    PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
    rx_.clear();
  }

  QueueCounts Counts() override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) {
      NoteFailure(GetLastError());
      return {rx_.size(), 0};
    }
    return {rx_.size() + stat.cbInQue, stat.cbOutQue};
  }

  size_t Read(uint8_t* buf, size_t n) override {
    size_t taken = std::min(n, rx_.size());
    std::copy_n(rx_.begin(), taken, buf);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken < n && lost_ == 0) {
      size_t queued = QueuedInDriver();
      DWORD want = static_cast<DWORD>(std::min(n - taken, queued));
      if (want > 0) taken += Transfer(Direction::kRead, buf + taken, want, nullptr);
    }
    return taken;
  }

  size_t Write(const uint8_t* buf, size_t n) override {
    return Transfer(Direction::kWrite, const_cast<uint8_t*>(buf), static_cast<DWORD>(n), nullptr);
  }

  // A read with a total timeout is the event: the thread sleeps until the
  // missing bytes arrive, the time is up or the wake-up fires. (Waiting for
  // EV_RXCHAR instead wakes far more often under Wine than it saves.)
  // ClearCommError after each read is what reveals a vanished device, and a
  // read on a hung-up line may only return at its timeout, so reads are cut
  // into slices of at most kLostCheckMs.
  size_t WaitForBytes(size_t n, uint32_t timeout_ms) override {
    const uint64_t deadline = GetTickCount64() + timeout_ms;
    PullQueued();
    while (rx_.size() < n && lost_ == 0 && !(wakeup_ && wakeup_->Woken())) {
      uint64_t now = GetTickCount64();
      if (now >= deadline) break;
      // Never 0 here: a zero constant with zero multipliers waits forever.
      SetReadTimeout(static_cast<DWORD>(std::min<uint64_t>(deadline - now, kLostCheckMs)));
      size_t missing = n - rx_.size();
      size_t old = rx_.size();
      rx_.resize(old + missing);
      bool failed = false;
      const DWORD got = Transfer(Direction::kRead, rx_.data() + old, static_cast<DWORD>(missing),
                                 wakeup_.get(), &failed);
      if (failed && lost_ == 0) Sleep(1);  // a read that fails at once must not make us spin
      rx_.resize(std::min<size_t>(old + got, kMaxHeldRxBytes));
      PullQueued();
    }
    return Counts().rx;
  }

  // Sleeps for the wire time of what the driver still holds, at least a
  // millisecond, until its transmit queue is empty.
  bool WaitForTransmitted(uint32_t timeout_ms) override {
    const uint64_t deadline = GetTickCount64() + timeout_ms;
    for (;;) {
      const size_t queued = Counts().tx;
      if (queued == 0) return true;
      const uint64_t now = GetTickCount64();
      if (lost_ != 0 || now >= deadline) return false;
      const uint64_t wire = std::max<uint64_t>(uint64_t{queued} * write_multiplier_, 1);
      if (SleepUnlessWokenMs(static_cast<DWORD>(std::min<uint64_t>(wire, deadline - now)),
                             wakeup_.get())) {
        return false;
      }
    }
  }

  OsError LostError() const override { return lost_; }
  void Watch(std::shared_ptr<Wakeup> wakeup) override { wakeup_ = std::move(wakeup); }

 private:
  void NoteFailure(DWORD error) {
    if (lost_ == 0 && MeansDeviceGone(error)) lost_ = error;
  }

  enum class Direction { kRead, kWrite };

  // One overlapped transfer, waited for to its end: the COMMTIMEOUTS bound
  // it, and a woken `wakeup` (may be null) cancels it early. Returns the
  // bytes moved; `failed` (may be null) tells a transfer the driver refused.
  DWORD Transfer(Direction d, uint8_t* buf, DWORD n, Wakeup* wakeup, bool* failed = nullptr) {
    OVERLAPPED ov{};
    ov.hEvent = io_done_;
    ResetEvent(io_done_);
    const BOOL done = d == Direction::kRead ? ReadFile(handle_, buf, n, nullptr, &ov)
                                            : WriteFile(handle_, buf, n, nullptr, &ov);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
      NoteFailure(GetLastError());
      if (failed) *failed = true;
      return 0;
    }
    if (!done) WaitUnlessWoken(ov, wakeup);
    DWORD moved = 0;
    if (!GetOverlappedResult(handle_, &ov, &moved, TRUE)) {
      const DWORD error = GetLastError();
      NoteFailure(error);
      if (failed && error != ERROR_OPERATION_ABORTED) *failed = true;
    }
    return moved;
  }

  // Until the transfer ends, or the wake-up fires and the transfer is
  // cancelled (GetOverlappedResult then collects what it had moved).
  void WaitUnlessWoken(OVERLAPPED& ov, Wakeup* wakeup) {
    if (wakeup == nullptr || wakeup->Handle() == -1) {
      WaitForSingleObject(io_done_, INFINITE);
      return;
    }
    const HANDLE events[2] = {io_done_, reinterpret_cast<HANDLE>(wakeup->Handle())};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      if (wakeup->Settle()) {
        CancelIoEx(handle_, &ov);
        return;
      }
    }
  }

  size_t QueuedInDriver() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) {
      NoteFailure(GetLastError());
      return 0;
    }
    return stat.cbInQue;
  }

  // Moves everything the driver holds into our buffer, dropping what does
  // not fit; returns at once.
  void PullQueued() {
    if (lost_ != 0) return;
    size_t queued = QueuedInDriver();
    if (queued == 0) return;
    size_t old = rx_.size();
    rx_.resize(old + queued);
    const DWORD got =
        Transfer(Direction::kRead, rx_.data() + old, static_cast<DWORD>(queued), nullptr);
    rx_.resize(std::min<size_t>(old + got, kMaxHeldRxBytes));
  }

  // Read total timeout in ms; 0 means "return at once with what is queued"
  // (MAXDWORD interval). Write timeouts ride along since the call sets both.
  void SetReadTimeout(DWORD ms) {
    if (timeouts_valid_ && ms == read_timeout_) return;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = ms == 0 ? MAXDWORD : 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = ms;
    t.WriteTotalTimeoutMultiplier = write_multiplier_;
    t.WriteTotalTimeoutConstant = 1000;
    timeouts_valid_ = SetCommTimeouts(handle_, &t) != FALSE;
    read_timeout_ = ms;
  }

  HANDLE handle_;
  HANDLE io_done_;  // the event of the transfer in progress
  std::vector<uint8_t> rx_;  // received bytes taken from the driver, unread
  OsError lost_ = 0;
  std::shared_ptr<Wakeup> wakeup_;  // ends the waits early (Cancel)
  DWORD write_multiplier_ = 0;
  DWORD read_timeout_ = 0;
  bool timeouts_valid_ = false;
};

// "COM12" names a port only in the device namespace: CreateFile takes the
// bare name for COM1..COM9 alone.
std::string DevicePath(const std::string& name) {
  const bool com = name.size() > 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'o' &&
                   (name[2] | 0x20) == 'm' &&
                   name.find_first_not_of("0123456789", 3) == std::string::npos;
  return com ? "\\\\.\\" + name : name;
}

class Win32Platform final : public Platform {
 public:
  std::string DeviceNameForPort(int16_t com_port) const override {
    return "\\\\.\\COM" + std::to_string(static_cast<int>(com_port));
  }

  std::unique_ptr<SerialDevice> Open(const std::string& name, OsError& error) override {
    if (net::IsNetworkPortName(name)) return net::OpenNetworkPort(name, error);
    HANDLE h = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      return nullptr;
    }
    error = 0;
    return std::make_unique<Win32Device>(h);
  }

  uint64_t NowMs() override { return GetTickCount64(); }

  void SleepMs(uint32_t ms) override { Sleep(ms); }
  std::shared_ptr<Wakeup> NewWakeup() override { return std::make_shared<EventWakeup>(); }
  void SleepUnlessWoken(uint32_t ms, Wakeup& wakeup) override { SleepUnlessWokenMs(ms, &wakeup); }

  OsErrorKind KindOf(OsError error) const override {
    switch (error) {
      case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: return OsErrorKind::kBusy;
      case WSAHOST_NOT_FOUND: case WSANO_DATA: case WSATRY_AGAIN: return OsErrorKind::kHostNotFound;
      case WSAETIMEDOUT: return OsErrorKind::kTimedOut;
      case WSAEPROTONOSUPPORT: return OsErrorKind::kUnsupported;
      case WSAECONNRESET: case WSAECONNABORTED: return OsErrorKind::kClosedByServer;
      default: return OsErrorKind::kOther;
    }
  }

  std::string ErrorText(OsError error) const override {
    char* text = nullptr;
    DWORD len = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, error, 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = (len != 0 && text != nullptr) ? std::string(text, len) : std::string();
    if (text != nullptr) LocalFree(text);
    return result;
  }
};

}  // namespace

OsError Platform::ReadWholeFile(const std::string& name, std::string& contents,
                                size_t limit) const {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  contents.clear();
  char chunk[65536];
  OsError error = 0;
  while (contents.size() <= limit) {
    DWORD n = 0;
    if (!ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
      error = GetLastError();
      break;
    }
    if (n == 0) break;
    contents.append(chunk, n);
  }
  CloseHandle(h);
  return error;
}

std::shared_ptr<Platform> NativePlatform() {
  static const std::shared_ptr<Platform> platform = std::make_shared<Win32Platform>();
  return platform;
}

}  // namespace qelcomm

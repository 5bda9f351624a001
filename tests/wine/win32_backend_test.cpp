// The Win32 backend against a real COM port. Under Wine, run-with-pty.sh maps
// a native echoing pseudo-terminal (pty_loopback) to COM<n> and passes n in
// QELCOMM_TEST_COM; every byte written comes back. The Win32Port and
// Win32LostDevice tests skip when that variable is missing.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "qelcomm/platform.h"

namespace qelcomm {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void PauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int16_t TestComPort() {
  const char* value = std::getenv("QELCOMM_TEST_COM");
  return value ? static_cast<int16_t>(std::atoi(value)) : 0;
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e4;
  };
  return ms(kernel) + ms(user);
}

// Ends the process when a test blocks far beyond its bounds: a device call
// that hangs cannot be interrupted, and if CTest's timeout killed us instead,
// the buffered output saying which test hung would be lost.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) return;
          const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
          std::fflush(stdout);
          std::fprintf(stderr, "\n%s.%s hung for %d s\n", test ? test->test_suite_name() : "?",
                       test ? test->name() : "?", seconds);
          std::fflush(stderr);
          std::_Exit(3);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// A 19-byte telegram-sized pattern with the flow-control characters in it.
const Bytes kTelegram = {0x52, 0x01, 0x11, 0x13, 0x00, 0xFF, 0x11, 0x11, 0x11, 0x13,
                         0x80, 0x7F, 0x0D, 0x0A, 0x1A, 0x13, 0x13, 0x11, 0xA5};

TEST(Win32Platform, PortNumbersMapToComDeviceNames) {
  auto platform = NativePlatform();
  EXPECT_EQ(platform->DeviceNameForPort(3), "\\\\.\\COM3");
  EXPECT_EQ(platform->DeviceNameForPort(12), "\\\\.\\COM12");
}

TEST(Win32Platform, OpeningPortZeroFailsWithSystemError) {
  auto platform = NativePlatform();
  OsError error = 0;
  auto device = platform->Open(platform->DeviceNameForPort(0), error);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(platform->ErrorText(error).empty()) << "error " << error;
}

TEST(Win32Platform, ErrorTextIsSystemMessageUntrimmed) {
  auto platform = NativePlatform();
  std::string text = platform->ErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_GE(text.size(), 3u);
  // System messages end in CRLF; callers get them exactly as the system has them.
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  // Our own codes (customer bit set) have no system message.
  EXPECT_EQ(platform->ErrorText(0x20000000), "");
}

TEST(Win32Platform, ClockIsMonotonicAndFollowsSleep) {
  auto platform = NativePlatform();
  uint64_t t0 = platform->NowMs();
  platform->SleepMs(50);
  uint64_t t1 = platform->NowMs();
  ASSERT_GE(t1, t0);
  // Tick granularity is up to ~16 ms, and a loaded machine's Wine has been
  // seen to advance the tick 28 ms across the 50 ms sleep: the clock moved.
  EXPECT_GE(t1 - t0, 20u);
  EXPECT_LT(t1 - t0, 1000u);
  uint64_t last = t1;
  for (int i = 0; i < 1000; ++i) {
    uint64_t now = platform->NowMs();
    ASSERT_GE(now, last);
    last = now;
  }
}

class Win32Port : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = TestComPort();
    if (port_ == 0) GTEST_SKIP() << "QELCOMM_TEST_COM not set (run through run-with-pty.sh)";
    ASSERT_NO_FATAL_FAILURE(OpenAndConfigure(115200));
    ASSERT_NO_FATAL_FAILURE(Drain());
  }

  void OpenAndConfigure(int32_t baud) {
    device_.reset();
    OsError error = 1;
    device_ = platform_->Open(platform_->DeviceNameForPort(port_), error);
    ASSERT_NE(device_, nullptr) << platform_->ErrorText(error);
    ASSERT_EQ(error, 0u);
    ASSERT_EQ(device_->SetQueueSizes(1024, 1024), 0u);
    ASSERT_EQ(device_->Configure({baud}), 0u);
  }

  // Discards until the line stays quiet, so no echo leaks into the next check.
  void Drain() {
    for (int round = 0; round < 200; ++round) {
      device_->Discard();
      if (device_->WaitForBytes(1, 50) == 0) return;
    }
    FAIL() << "the line never went quiet after Discard";
  }

  Bytes ReadAll() {
    Bytes got(4096);
    got.resize(device_->Read(got.data(), got.size()));
    return got;
  }

  Bytes RoundTrip(const Bytes& out) {
    EXPECT_EQ(device_->Write(out.data(), out.size()), out.size());
    EXPECT_EQ(device_->WaitForBytes(out.size(), 1000), out.size());
    return ReadAll();
  }

  // Nobody reads the echo, so the loopback stalls and then so does our
  // transmit direction. Writes 256-byte chunks, each filled with its own
  // value, until one comes back short; every write must end within its bound
  // (per-byte wire time plus one second) instead of hanging.
  void StallLine(uint8_t& last_value, size_t& last_written) {
    const double bound_ms = 256 * 2 + 1000;  // 2 ms/byte at 115200 baud
    for (int i = 0; i < 4000; ++i) {
      const Bytes chunk(256, ChunkValue(i));
      auto start = Clock::now();
      size_t written = device_->Write(chunk.data(), chunk.size());
      ASSERT_LE(MsSince(start), bound_ms + 1000.0) << "write " << i << " wrote " << written;
      if (written < chunk.size()) {
        last_value = chunk[0];
        last_written = written;
        return;
      }
    }
    FAIL() << "the line never filled up";
  }

  static uint8_t ChunkValue(int i) { return static_cast<uint8_t>(1 + i % 250); }

  Watchdog watchdog_{20};
  std::shared_ptr<Platform> platform_ = NativePlatform();
  int16_t port_ = 0;
  std::unique_ptr<SerialDevice> device_;
};

TEST_F(Win32Port, EchoesAtCommonBaudRates) {
  for (int32_t baud : {19200, 115200, 19200}) {
    ASSERT_EQ(device_->Configure({baud}), 0u) << baud;
    EXPECT_EQ(RoundTrip(kTelegram), kTelegram) << baud;
  }
}

TEST_F(Win32Port, WaitReturnsAsSoonAsTelegramIsComplete) {
  ASSERT_EQ(device_->Write(kTelegram.data(), kTelegram.size()), kTelegram.size());
  auto start = Clock::now();
  EXPECT_EQ(device_->WaitForBytes(kTelegram.size(), 2000), kTelegram.size());
  EXPECT_LT(MsSince(start), 500.0);
  EXPECT_EQ(ReadAll(), kTelegram);
  EXPECT_EQ(device_->Counts().rx, 0u);
}

// With XON/XOFF left on, the line would swallow 0x11/0x13 and a received
// 0x13 would stop our transmitter. Switch it on behind the backend's back;
// Configure must switch it off again.
TEST_F(Win32Port, ConfigureTurnsOffSoftwareFlowControl) {
  device_.reset();
  std::string name = platform_->DeviceNameForPort(port_);
  HANDLE raw = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(raw, &dcb));
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  ASSERT_TRUE(SetCommState(raw, &dcb));
  CloseHandle(raw);

  ASSERT_NO_FATAL_FAILURE(OpenAndConfigure(19200));
  EXPECT_EQ(RoundTrip(kTelegram), kTelegram);
  const Bytes acks = {0x11, 0x11, 0x11, 0x13, 0x13, 0x13};
  EXPECT_EQ(RoundTrip(acks), acks);
}

TEST_F(Win32Port, BufferedAndQueuedBytesComeOutInOrder) {
  const Bytes first = {1, 2, 3, 4, 5};
  const Bytes second = {6, 7, 8, 9, 10};
  ASSERT_EQ(device_->Write(first.data(), first.size()), first.size());
  ASSERT_EQ(device_->WaitForBytes(first.size(), 1000), first.size());
  ASSERT_EQ(device_->Write(second.data(), second.size()), second.size());
  PauseMs(100);  // the echo now sits in the driver's queue, not yet fetched
  EXPECT_EQ(device_->Counts().rx, 10u);

  uint8_t buf[16] = {};
  ASSERT_EQ(device_->Read(buf, 3), 3u);
  ASSERT_EQ(device_->Read(buf + 3, sizeof buf - 3), 7u);
  EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(device_->Read(buf, sizeof buf), 0u);
}

TEST_F(Win32Port, DiscardEmptiesFetchedAndQueuedBytes) {
  const Bytes junk = {0xAA, 0xBB, 0xCC, 0xDD};
  ASSERT_EQ(device_->Write(junk.data(), junk.size()), junk.size());
  ASSERT_EQ(device_->WaitForBytes(junk.size(), 1000), junk.size());
  ASSERT_EQ(device_->Write(junk.data(), junk.size()), junk.size());
  PauseMs(100);
  ASSERT_EQ(device_->Counts().rx, 8u);

  device_->Discard();
  EXPECT_EQ(device_->Counts().rx, 0u);
  uint8_t buf[16];
  EXPECT_EQ(device_->Read(buf, sizeof buf), 0u);
  EXPECT_EQ(device_->WaitForBytes(1, 100), 0u);
}

TEST_F(Win32Port, SilentWaitEndsAtItsTimeout) {
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    EXPECT_EQ(device_->WaitForBytes(1, 100), 0u);
    double ms = MsSince(start);
    EXPECT_GE(ms, 80.0);  // tick granularity is up to ~16 ms
    EXPECT_LE(ms, 250.0);
  }
}

TEST_F(Win32Port, SilentWaitSleepsInsteadOfPolling) {
  double cpu0 = ProcessCpuMs();
  auto start = Clock::now();
  for (int i = 0; i < 10; ++i) device_->WaitForBytes(1, 100);
  double wall = MsSince(start);
  double cpu = ProcessCpuMs() - cpu0;
  EXPECT_LT(cpu, wall * 0.2) << cpu << " ms CPU in " << wall << " ms";
}

TEST_F(Win32Port, ZeroTimeoutOnlyReportsWhatIsThere) {
  auto start = Clock::now();
  EXPECT_EQ(device_->WaitForBytes(1, 0), 0u);
  EXPECT_LT(MsSince(start), 50.0);

  const Bytes four = {1, 2, 3, 4};
  ASSERT_EQ(device_->Write(four.data(), four.size()), four.size());
  PauseMs(100);
  start = Clock::now();
  EXPECT_EQ(device_->WaitForBytes(10, 0), 4u);
  EXPECT_LT(MsSince(start), 50.0);
}

TEST_F(Win32Port, PartialAnswerIsCountedAtTheDeadline) {
  const Bytes five = {1, 2, 3, 4, 5};
  ASSERT_EQ(device_->Write(five.data(), five.size()), five.size());
  auto start = Clock::now();
  EXPECT_EQ(device_->WaitForBytes(10, 300), 5u);
  double ms = MsSince(start);
  EXPECT_GE(ms, 270.0);
  EXPECT_LE(ms, 500.0);
  EXPECT_EQ(ReadAll(), five);
}

// Wakes `device` from another thread while it waits for bytes that never
// come; returns how long after the wake the wait ended.
double MsFromWakeToReturn(SerialDevice& device, Platform& platform) {
  auto wakeup = platform.NewWakeup();
  device.Watch(wakeup);
  Clock::time_point woken_at;
  std::thread waker([&] {
    PauseMs(30);
    woken_at = Clock::now();
    wakeup->Wake();
  });
  device.WaitForBytes(1, 2000);
  const Clock::time_point returned = Clock::now();
  waker.join();
  device.Watch(nullptr);
  return std::chrono::duration<double, std::milli>(returned - woken_at).count();
}

// The read slices last up to 100 ms; a wake-up must not wait for the slice.
TEST_F(Win32Port, WakeupEndsAWaitAtOnce) {
  EXPECT_LT(MsFromWakeToReturn(*device_, *platform_), 40.0);
  EXPECT_EQ(RoundTrip(kTelegram), kTelegram) << "the port works on after the cancelled read";
}

// A server that never answers: the wake-up ends the socket's wait too.
TEST(Win32Network, WakeupEndsAWaitAtOnce) {
  Watchdog watchdog(20);
  WSADATA data{};
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), size), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size);
  auto platform = NativePlatform();
  OsError error = 1;
  auto device = platform->Open("tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), error);
  ASSERT_NE(device, nullptr) << platform->ErrorText(error);
  EXPECT_LT(MsFromWakeToReturn(*device, *platform), 40.0);
  device.reset();
  closesocket(listener);
}

TEST_F(Win32Port, WriteToStalledLineEndsShort) {
  uint8_t last = 0;
  size_t written = 0;
  ASSERT_NO_FATAL_FAILURE(StallLine(last, written));
  EXPECT_LT(written, 256u);
  EXPECT_EQ(device_->LostError(), 0u);
  Drain();
}

// When the line stalls, the newest written bytes still wait in our transmit
// queue. Discard must leave them there: once the loopback moves again, the
// echo has to end with the last full chunk and the short one, complete.
TEST_F(Win32Port, DiscardKeepsBytesAlreadyWritten) {
  uint8_t last = 0;
  size_t written = 0;
  ASSERT_NO_FATAL_FAILURE(StallLine(last, written));
  device_->Discard();

  Bytes echoed;
  while (device_->WaitForBytes(1, 300) != 0) {
    Bytes more = ReadAll();
    echoed.insert(echoed.end(), more.begin(), more.end());
  }
  const uint8_t previous = static_cast<uint8_t>(last == 1 ? 250 : last - 1);
  Bytes tail(256, previous);
  tail.insert(tail.end(), written, last);
  ASSERT_GE(echoed.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), echoed.end() - static_cast<std::ptrdiff_t>(tail.size())))
      << "echo ends in the wrong bytes: the transmit queue was purged";
}

// The loopback hangs up (QELCOMM_TEST_LOST_AFTER bytes after it started):
// the device counts as lost and waits stop waiting.
TEST(Win32LostDevice, PeerHangupEndsWaits) {
  int16_t port = TestComPort();
  const char* after = std::getenv("QELCOMM_TEST_LOST_AFTER");
  if (port == 0 || after == nullptr) GTEST_SKIP() << "needs a loopback that hangs up";
  const size_t n = static_cast<size_t>(std::atoi(after));
  Watchdog watchdog(20);

  auto platform = NativePlatform();
  OsError error = 1;
  auto device = platform->Open(platform->DeviceNameForPort(port), error);
  ASSERT_NE(device, nullptr) << platform->ErrorText(error);
  ASSERT_EQ(device->Configure({115200}), 0u);
  const Bytes out(n, 0x11);
  ASSERT_EQ(device->Write(out.data(), out.size()), n);
  ASSERT_EQ(device->WaitForBytes(n, 1000), n);
  EXPECT_EQ(device->LostError(), 0u);

  auto start = Clock::now();
  device->WaitForBytes(n + 1, 10000);
  EXPECT_LT(MsSince(start), 2000.0);  // the hangup comes ~0.2 s after the echo
  EXPECT_NE(device->LostError(), 0u);

  start = Clock::now();
  device->WaitForBytes(n + 1, 1000);
  EXPECT_LT(MsSince(start), 50.0);
  EXPECT_LT(device->Write(out.data(), out.size()), n);
}

}  // namespace
}  // namespace qelcomm

// The POSIX backend on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include "e2e/pty_pair.h"
#include "qelcomm/QelCommCtrl.h"
#include "qelcomm/errors.h"
#include "qelcomm/platform.h"

namespace qelcomm::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<SerialDevice> OpenConfigured(const std::string& name, int32_t baud = 19200) {
  OsError err = 0;
  auto dev = NativePlatform()->Open(name, err);
  EXPECT_EQ(err, 0u);
  if (dev) {
    EXPECT_EQ(dev->SetQueueSizes(1024, 1024), 0u);
    EXPECT_EQ(dev->Configure(LineSettings{baud}), 0u);
  }
  return dev;
}

TEST(PosixBackend, EveryByteValuePassesUnchanged) {
  PtyPair pty;
  auto dev = OpenConfigured(pty.name());
  ASSERT_TRUE(dev);
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i);
  // Host to device: no CR/LF translation, no XON/XOFF swallowed.
  ASSERT_EQ(dev->Write(all.data(), all.size()), all.size());
  EXPECT_EQ(pty.Receive(256), all);
  // Device to host, including 0x11 (XON), 0x13 (XOFF), CR and LF.
  pty.Send(all);
  EXPECT_EQ(dev->WaitForBytes(256, 1000), 256u);
  std::vector<uint8_t> got(256);
  EXPECT_EQ(dev->Read(got.data(), got.size()), 256u);
  EXPECT_EQ(got, all);
  EXPECT_EQ(dev->Counts().rx, 0u);
}

TEST(PosixBackend, OpenIsExclusiveAndChecked) {
  PtyPair pty;
  auto dev = OpenConfigured(pty.name());
  ASSERT_TRUE(dev);
  OsError err = 0;
  EXPECT_FALSE(NativePlatform()->Open(pty.name(), err));
  EXPECT_EQ(err, OsError(EBUSY));
  dev.reset();
  EXPECT_TRUE(NativePlatform()->Open(pty.name(), err));  // released on close

  EXPECT_FALSE(NativePlatform()->Open("/dev/qelcomm-no-such-port", err));
  EXPECT_EQ(err, OsError(ENOENT));
  EXPECT_FALSE(NativePlatform()->Open("", err));
  EXPECT_EQ(err, OsError(ENOENT));

  auto dev2 = NativePlatform()->Open(pty.name(), err);
  ASSERT_TRUE(dev2);
  EXPECT_EQ(dev2->Configure(LineSettings{0}), OsError(EINVAL));
#ifdef __linux__
  // Rates without a Bnnn constant go through termios2.
  EXPECT_EQ(dev2->Configure(LineSettings{12345}), 0u);
#else
  EXPECT_EQ(dev2->Configure(LineSettings{12345}), OsError(EINVAL));
#endif
}

TEST(PosixBackend, DiscardEmptiesTheReceiveQueue) {
  PtyPair pty;
  auto dev = OpenConfigured(pty.name());
  ASSERT_TRUE(dev);
  pty.Send({1, 2, 3, 4, 5});
  EXPECT_EQ(dev->WaitForBytes(5, 1000), 5u);
  dev->Discard();
  EXPECT_EQ(dev->Counts().rx, 0u);
  uint8_t b = 0;
  EXPECT_EQ(dev->Read(&b, 1), 0u);
}

TEST(PosixBackend, WaitEndsWhenCompleteOrAtTimeout) {
  PtyPair pty;
  auto dev = OpenConfigured(pty.name());
  ASSERT_TRUE(dev);
  auto start = Clock::now();
  EXPECT_EQ(dev->WaitForBytes(19, 100), 0u);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 99);
  EXPECT_LT(ms, 1000);

  // A reply that arrives in two pieces ends the wait when it is complete.
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pty.Send(std::vector<uint8_t>(7, 0x52));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.Send(std::vector<uint8_t>(12, 0x52));
  });
  start = Clock::now();
  EXPECT_EQ(dev->WaitForBytes(19, 2000), 19u);
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  device.join();
  EXPECT_GE(ms, 25);
  EXPECT_LT(ms, 1000);
}

TEST(PosixBackend, VanishedPeerEndsWaitsAndIsReported) {
  PtyPair pty;
  auto dev = OpenConfigured(pty.name());
  ASSERT_TRUE(dev);
  pty.CloseSlave();
  pty.CloseMaster();
  const auto start = Clock::now();
  dev->WaitForBytes(19, 5000);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));  // no waiting, no spinning
  EXPECT_NE(dev->LostError(), 0u);
}

TEST(PosixBackend, ControlReadsARegisterOverThePty) {
  PtyPair pty;
  CQelCommCtrl ctrl;
  ctrl.SetPortName(pty.name());
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  std::thread device([&] {
    const auto request = pty.Receive(9);
    if (request == std::vector<uint8_t>{0x50, 0x50, 0x50, 0x05, 0xFA, 0x02, 0xFD, 0xAA, 0xAA}) {
      pty.Send({0x52, 0x52, 0x52, 0x00, 0xFF, 0x02, 0xFD, 0x04, 0xFB, 0x0F,
                0xF0, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA});
    }
  });
  int32_t v = 0;
  EXPECT_TRUE(ctrl.ReadParameter(5, 2, v));
  device.join();
  EXPECT_EQ(v, 15);
  EXPECT_EQ(ctrl.GetLastError(), 0);

  // The peer goes away: the control reports the OS error, not a timeout.
  pty.CloseSlave();
  pty.CloseMaster();
  EXPECT_FALSE(ctrl.ReadParameter(5, 2, v));
  const int32_t err = ctrl.GetLastError();
  EXPECT_TRUE(err == EIO || err == EBADF) << err;
}

CQelCommCtrl* g_to_cancel = nullptr;
void CancelOnSignal(int) { g_to_cancel->Cancel(); }

// A silent motor with retries would hold the call for half a second; Cancel
// from another thread, or from a signal handler, ends it at once.
TEST(PosixBackend, CancelEndsAWaitAtOnce) {
  PtyPair pty;
  CQelCommCtrl ctrl;
  ctrl.SetPortName(pty.name());
  ctrl.SetRetries(5);
  ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
  Clock::time_point cancelled_at;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancelled_at = Clock::now();
    ctrl.Cancel();
  });
  int32_t v = 0;
  EXPECT_FALSE(ctrl.ReadParameter(5, 2, v));
  const auto late = Clock::now() - cancelled_at;
  canceller.join();
  EXPECT_EQ(uint32_t(ctrl.GetLastError()), ERR_CANCELLED);
  EXPECT_LT(late, std::chrono::milliseconds(30)) << "woken, not left to its window";

  g_to_cancel = &ctrl;
  struct sigaction sa {}, old {};
  sa.sa_handler = CancelOnSignal;
  sigaction(SIGALRM, &sa, &old);
  const itimerval in_50ms{{0, 0}, {0, 50'000}};
  setitimer(ITIMER_REAL, &in_50ms, nullptr);
  const auto start = Clock::now();
  EXPECT_FALSE(ctrl.WriteToFlashWait(5));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(uint32_t(ctrl.GetLastError()), ERR_CANCELLED);
}

}  // namespace
}  // namespace qelcomm::testing

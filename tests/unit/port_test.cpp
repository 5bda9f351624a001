#include <gtest/gtest.h>

#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

TEST(OpenPort, QuietLineOpensAfterOneSettlePass) {
  VirtualBench b(false);
  b.ctrl.SetBaud(57600);
  const uint64_t start = b.NowMs();
  EXPECT_TRUE(b.ctrl.OpenPort());
  EXPECT_EQ(b.NowMs() - start, 20u);
  EXPECT_EQ(b.line.settings.baud, 57600);
  EXPECT_EQ(b.ctrl.GetLastError(), 0);
}

TEST(OpenPort, LeftoverBytesAreDiscarded) {
  VirtualBench b(false);
  b.line.Deliver(0, {1, 2, 3});
  EXPECT_TRUE(b.ctrl.OpenPort());
  EXPECT_EQ(b.line.Queued(), 0u);
  EXPECT_GE(b.line.discards, 1);
}

TEST(OpenPort, ChatteringLineFailsAfterFiftyPasses) {
  VirtualBench b(false);
  b.peer->Chatter(5, b.line.clock().NowUs());
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(b.NowMs() - start, 50u * 20u);
  EXPECT_EQ(static_cast<uint32_t>(b.ctrl.GetLastError()), ERR_PORT_INIT);
  EXPECT_EQ(b.ctrl.GetLastErrorStr(ERR_PORT_INIT), "Serial port could not be initialized");
  // The device is still held; telegram methods refuse all the same.
  EXPECT_TRUE(b.line.is_open);
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(static_cast<uint32_t>(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
  EXPECT_TRUE(b.line.written.empty());
  b.ctrl.ClosePort();
  EXPECT_FALSE(b.line.is_open);
}

TEST(OpenPort, OsErrorsAreStoredUnchanged) {
  VirtualBench b(false);
  b.ctrl.SetComPort(0);  // no such port
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(static_cast<uint32_t>(b.ctrl.GetLastError()), VirtualPlatform::NotFoundError());

  b.ctrl.SetComPort(1);
  b.line.queue_size_error = 31;
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(b.ctrl.GetLastError(), 31);
  EXPECT_TRUE(b.line.is_open);  // held after a failed open

  // A second open releases the held device first instead of finding it busy.
  b.line.queue_size_error = 0;
  b.line.configure_error = 87;
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(b.ctrl.GetLastError(), 87);
  EXPECT_EQ(b.line.opens, 2);
  EXPECT_EQ(b.line.closes, 1);

  b.line.configure_error = 0;
  EXPECT_TRUE(b.ctrl.OpenPort());
  EXPECT_EQ(b.line.opens - b.line.closes, 1);
}

TEST(OpenPort, ReopenUsesNewSettingsAndFailureLeavesItClosed) {
  VirtualBench b;
  b.ctrl.SetBaud(9600);
  EXPECT_EQ(b.line.settings.baud, 19200);  // no effect until the next open
  EXPECT_TRUE(b.ctrl.OpenPort());
  EXPECT_EQ(b.line.settings.baud, 9600);
  EXPECT_EQ(b.line.closes, 1);

  b.ctrl.SetComPort(9);
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_FALSE(b.line.is_open);
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 2, 0));
  EXPECT_EQ(static_cast<uint32_t>(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
}

TEST(OpenPort, DestructionReleasesDevice) {
  auto platform = std::make_shared<TestPlatform>();
  TestLine& line = platform->AddLine("v", std::make_shared<ScriptedPeer>());
  {
    CQelCommCtrl ctrl(platform);
    ctrl.SetPortName("v");
    EXPECT_TRUE(ctrl.OpenPort());
  }
  EXPECT_FALSE(line.is_open);
  line.configure_error = 5;
  {
    CQelCommCtrl ctrl(platform);
    ctrl.SetPortName("v");
    EXPECT_FALSE(ctrl.OpenPort());
    EXPECT_TRUE(line.is_open);
  }
  EXPECT_FALSE(line.is_open);
}

TEST(OpenPort, CloseIsHarmlessAndSecondOpenerIsRefused) {
  VirtualBench b;
  CQelCommCtrl other(b.platform);
  other.SetComPort(1);
  EXPECT_FALSE(other.OpenPort());
  EXPECT_EQ(static_cast<uint32_t>(other.GetLastError()), VirtualPlatform::BusyError());
  b.ctrl.ClosePort();
  b.ctrl.ClosePort();
  EXPECT_EQ(b.ctrl.GetLastError(), 0);
  EXPECT_TRUE(other.OpenPort());
}

TEST(Errors, LastErrorIsReadAndCleared) {
  VirtualBench b(false);
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.ctrl.GetLastErrorStr(0), "Serial port is not open");
  EXPECT_EQ(b.ctrl.GetLastError(), 0);

  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_TIMEOUT)), "Timeout");
  EXPECT_EQ(static_cast<uint32_t>(b.ctrl.GetLastError()), ERR_PORT_NOT_OPEN);
  EXPECT_EQ(b.ctrl.GetLastError(), 0);
}

TEST(Errors, MessagesForEveryOwnCode) {
  VirtualBench b(false);
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_UNSPECIFIED)), "Unspecified error");
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_STATUS_PURGE)), "ReadStatus - Purge error");
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_STATUS_FREE)), "ReadStatus - Delete[] Out Error");
  for (uint32_t c = ERR_PORT_INIT; c <= ERR_TIMEOUT; ++c) {
    ASSERT_NE(ErrorMessage(c), nullptr);
    EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(c)), ErrorMessage(c));
  }
  for (uint32_t c = ERR_STATUS_ALLOC; c <= ERR_STATUS_FREE; ++c) EXPECT_NE(ErrorMessage(c), nullptr);
  // Numbers next to the own codes go to the system's table.
  EXPECT_EQ(ErrorMessage(ERR_TIMEOUT + 1), nullptr);
  EXPECT_EQ(b.ctrl.GetLastErrorStr(int32_t(ERR_TIMEOUT + 1)),
            b.platform->ErrorText(ERR_TIMEOUT + 1));
}

TEST(Errors, OsNumbersReadAsSystemText) {
  VirtualBench b(false);
  const std::string invalid = b.ctrl.GetLastErrorStr(int32_t(ERR_OS_INVALID_PARAMETER));
  // "Invalid argument" on POSIX, "The parameter is incorrect." on Windows.
  EXPECT_TRUE(invalid.find("nvalid") != std::string::npos ||
              invalid.find("parameter is incorrect") != std::string::npos)
      << invalid;
  EXPECT_EQ(b.ctrl.GetLastErrorStr(0), b.platform->ErrorText(0));
  b.ctrl.SetComPort(0);
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(b.ctrl.GetLastErrorStr(0), b.platform->ErrorText(VirtualPlatform::NotFoundError()));
  EXPECT_FALSE(b.platform->ErrorText(VirtualPlatform::NotFoundError()).empty());
}

}  // namespace
}  // namespace qelcomm::testing

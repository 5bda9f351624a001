// The control against the simulated bus on a real serial device: a pty on
// POSIX, a COM port mapped onto a pty under Wine. The runner starts qelsim
// with the motors and faults these tests expect and passes the device in
// QELCOMM_TEST_PORT (a path) or QELCOMM_TEST_COM (a COM number).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qelcomm/QelCommCtrl.h"

namespace qelcomm {
namespace {

using Clock = std::chrono::steady_clock;

// Addresses the runner configures (see tests/CMakeLists.txt).
constexpr int16_t kStandard = 1, kBig = 2, kNobody = 9;
constexpr int16_t kDrops = 10, kComplement = 11, kWrongSync = 12, kLate = 13, kSplit = 14,
                  kBadAccept = 16;
constexpr int16_t kGroup = 3;  // GROUPID of motor 1
constexpr int16_t kModule = 1;  // fitted to motor 1: type 3, firmware 17, NOOP value 0x1234
constexpr int16_t kFreePage = 9;  // no other test writes it

class Protocol : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* com = std::getenv("QELCOMM_TEST_COM")) {
      ctrl.SetComPort(int16_t(std::atoi(com)));  // exercises the port-number naming
    } else if (const char* port = std::getenv("QELCOMM_TEST_PORT")) {
      ctrl.SetPortName(port);
    } else {
      GTEST_SKIP() << "no QELCOMM_TEST_PORT: run through the qelsim runner";
    }
    ASSERT_TRUE(ctrl.OpenPort()) << ctrl.GetLastErrorStr(0);
    ctrl.SetQELType(kBig, true);
  }
  uint32_t LastError() { return uint32_t(ctrl.GetLastError()); }

  CQelCommCtrl ctrl;
};

TEST_F(Protocol, RegistersRoundTrip) {
  int32_t v = 0;
  EXPECT_TRUE(ctrl.WriteParameter(kStandard, 14, -5));  // GEARF1, signed 16-bit
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 14, v));
  EXPECT_EQ(v, -5);
  EXPECT_TRUE(ctrl.WriteParameter(kStandard, 22, 123456));  // FLWERRMAX, 32-bit
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 22, v));
  EXPECT_EQ(v, 123456);
  EXPECT_TRUE(ctrl.WriteParameter(kBig, 14, -70000));  // GEARF_1, 32-bit on a big motor
  EXPECT_TRUE(ctrl.ReadParameter(kBig, 14, v));
  EXPECT_EQ(v, -70000);
  EXPECT_TRUE(ctrl.WriteParameter(kStandard, 265, 0x1234));  // OUTPUTSETUP, extended
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 265, v));
  EXPECT_EQ(v, 0x1234);
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST_F(Protocol, UserUnitsRoundTrip) {
  EXPECT_TRUE(ctrl.WriteParameterAlternate(kStandard, 6, 24832.09f));  // A_SOLL
  int32_t raw = 0;
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 6, raw));
  EXPECT_EQ(raw, 100);
  float user = 0;
  EXPECT_TRUE(ctrl.ReadParameterAlternate(kStandard, 6, user));
  EXPECT_EQ(user, 100.0f * 248.32089f);
}

TEST_F(Protocol, SilentAddressCostsOneWindowPerAttempt) {
  ctrl.SetRetries(2);
  int32_t v = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(ctrl.ReadParameter(kNobody, 2, v));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(LastError(), ERR_ANSWER_LENGTH);
  EXPECT_GE(ms.count(), 195);
  EXPECT_LT(ms.count(), 2000);
}

TEST_F(Protocol, FaultyRepliesGiveTheirCodes) {
  ctrl.SetRetries(2);
  int32_t v = 0;
  EXPECT_FALSE(ctrl.ReadParameter(kDrops, 2, v));
  EXPECT_EQ(LastError(), ERR_ANSWER_LENGTH);
  EXPECT_FALSE(ctrl.ReadParameter(kWrongSync, 2, v));
  EXPECT_EQ(LastError(), ERR_START_SYNC);
  EXPECT_FALSE(ctrl.ReadParameter(kComplement, 2, v));
  const uint32_t code = LastError();
  EXPECT_TRUE(code == ERR_ADDRESS_MISMATCH || code == ERR_PARAM_MISMATCH ||
              code == ERR_LENGTH_MISMATCH || code == ERR_INVERSION)
      << std::hex << code;
  EXPECT_FALSE(ctrl.WriteParameter(kBadAccept, 14, 1));
  EXPECT_EQ(LastError(), ERR_BAD_ACCEPT);
  // A reply in pieces, each within the window, is taken.
  EXPECT_TRUE(ctrl.ReadParameter(kSplit, 2, v));
  // After all that the line is clean: leftovers were discarded.
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 2, v));
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST_F(Protocol, LateReplyIsMissed) {
  // With one attempt a late reply is simply missed. (With more, the next
  // attempt would take the late reply to the previous request: the protocol
  // carries nothing to tell them apart.)
  ctrl.SetRetries(1);
  int32_t v = 0;
  EXPECT_FALSE(ctrl.ReadParameter(kLate, 2, v));
  EXPECT_EQ(LastError(), ERR_ANSWER_LENGTH);
  // Let the late reply arrive and be discarded by the next exchange.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ctrl.SetRetries(5);
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 2, v));
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST_F(Protocol, StatusAndGroupWrite) {
  int16_t status = 0, errs = 0;
  int32_t pos = 0;
  EXPECT_TRUE(ctrl.ReadStatus(kStandard, status, pos, errs));
  EXPECT_EQ(ctrl.GetLastError(), 0);
  ctrl.SetGrpSends(2);
  EXPECT_TRUE(ctrl.WriteGroup(kGroup, 14, 42));
  int32_t v = 0;
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 14, v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(ctrl.ReadParameter(kBig, 14, v));
  EXPECT_NE(v, 42);  // another group
}

TEST_F(Protocol, ResetAndFlashWaitForTheMotor) {
  int32_t v = 0;
  EXPECT_TRUE(ctrl.WriteParameter(kStandard, 15, 77));  // GEARF2
  EXPECT_TRUE(ctrl.WriteToFlashWait(kStandard)) << ctrl.GetLastErrorStr(0);
  EXPECT_TRUE(ctrl.WriteParameter(kStandard, 15, 78));
  EXPECT_TRUE(ctrl.ResetWait(kStandard)) << ctrl.GetLastErrorStr(0);
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 15, v));
  EXPECT_EQ(v, 77);  // the restart reloaded the flashed value
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + 7 * i);
  return b;
}

// Intel HEX of `image` from address 0, 16 bytes a record, then an end record.
std::string HexFile(const std::vector<uint8_t>& image) {
  std::string text;
  char buf[16];
  for (size_t at = 0; at < image.size(); at += 16) {
    const size_t n = std::min<size_t>(16, image.size() - at);
    uint8_t sum = uint8_t(n + (at >> 8) + at);
    std::snprintf(buf, sizeof buf, ":%02X%04X00", unsigned(n), unsigned(at));
    text += buf;
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", image[at + i]);
      text += buf;
      sum = uint8_t(sum + image[at + i]);
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", unsigned(uint8_t(-sum)));
    text += buf;
  }
  return text + ":00000001FF\r\n";
}

TEST_F(Protocol, ModuleIdentifiesAndKeepsAPage) {
  int16_t type = 0, firmware = 0;
  EXPECT_TRUE(ctrl.GetModuleType(kModule, type, firmware));
  EXPECT_EQ(type, 3);
  EXPECT_EQ(firmware, 17);
  // Data bytes that look like an end sync must not cut the page short.
  std::vector<uint8_t> page = Pattern(128, 0x31);
  page[10] = page[11] = 0xAA;
  EXPECT_TRUE(ctrl.VemoPut(kModule, kFreePage, page));
  std::vector<uint8_t> back;
  EXPECT_TRUE(ctrl.VemoGet(kModule, kFreePage, back));
  EXPECT_EQ(back, page);
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST_F(Protocol, ProgrammingSendsTheFirstFourPagesAndCommits) {
  std::vector<uint8_t> page4_before;
  ASSERT_TRUE(ctrl.VemoGet(kModule, 4, page4_before));
  // 512 bytes for pages 0..3, and a record beyond them that is not sent.
  std::vector<uint8_t> image = Pattern(512 + 16, 0x05);
  std::fill(image.begin() + 512, image.end(), uint8_t(~page4_before[0]));
  const std::string path = ::testing::TempDir() + "qelcomm_protocol_program.hex";
  std::ofstream(path, std::ios::binary) << HexFile(image);
  const auto start = Clock::now();
  EXPECT_TRUE(ctrl.VemoProgram(kModule, path)) << ctrl.GetLastErrorStr(0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::remove(path.c_str());
  EXPECT_GE(ms.count(), 300) << "returned before the module's commit (--module-write-ms) ended";
  for (int16_t p = 0; p < 4; ++p) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(ctrl.VemoGet(kModule, p, data)) << "page " << p;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 128 * p)) << "page " << p;
  }
  std::vector<uint8_t> page4;
  ASSERT_TRUE(ctrl.VemoGet(kModule, 4, page4));
  EXPECT_EQ(page4, page4_before);
}

TEST_F(Protocol, QupProgramRunsAndDebugShowsIt) {
  int16_t value = 0;
  EXPECT_TRUE(ctrl.QupNOOP(kModule, value));
  EXPECT_EQ(value, 0x1234);
  ASSERT_TRUE(ctrl.QupStart(kModule));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  int16_t state = 0, inputs = 0, outputs = 0, mode = 0;
  int32_t time = 0, count = 0;
  ASSERT_TRUE(ctrl.VemoDebug(kModule, state, inputs, outputs, time, count, mode));
  EXPECT_EQ(state, 1);  // running
  EXPECT_EQ(mode, 1);   // the last command: start
  EXPECT_GE(time, 50);  // milliseconds run
  EXPECT_GT(count, 0);
  EXPECT_TRUE(ctrl.QupStop(kModule));
  EXPECT_EQ(ctrl.GetLastError(), 0);
}

TEST_F(Protocol, SilentModuleFailsWithoutACode) {
  ctrl.SetRetries(1);
  int16_t type = -1, firmware = -1;
  EXPECT_FALSE(ctrl.GetModuleType(kNobody, type, firmware));
  EXPECT_EQ(ctrl.GetLastError(), 0);
  std::vector<uint8_t> data{1, 2, 3};
  EXPECT_FALSE(ctrl.VemoGet(kNobody, 0, data));
  EXPECT_EQ(ctrl.GetLastError(), 0);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3})) << "untouched on failure";
}

TEST_F(Protocol, ModuleCommandsOnAClosedPortAreShortWrites) {
  ctrl.ClosePort();
  const auto start = Clock::now();
  EXPECT_FALSE(ctrl.VemoStop(kModule));
  EXPECT_EQ(LastError(), ERR_WRITE_SHORT);
  EXPECT_FALSE(ctrl.VemoWrite(kModule));
  EXPECT_EQ(LastError(), ERR_WRITE_SHORT);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000)) << "no waiting on a closed port";
}

// Run with qelsim --vanish-after 1.
TEST_F(Protocol, VanishedDeviceIsReportedPromptly) {
  int32_t v = 0;
  EXPECT_TRUE(ctrl.ReadParameter(kStandard, 2, v));
  const auto start = Clock::now();
  EXPECT_FALSE(ctrl.ReadParameter(kStandard, 2, v));
  const uint32_t code = LastError();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_NE(code, 0u);
  EXPECT_TRUE(code < 0x20000000u || code == ERR_WRITE_SHORT || code == ERR_ANSWER_LENGTH)
      << std::hex << code;
}

}  // namespace
}  // namespace qelcomm

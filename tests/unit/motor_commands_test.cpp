// Reset, flash, status read and group write on the virtual line.
#include <gtest/gtest.h>

#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

uint32_t LastError(CQelCommCtrl& c) { return static_cast<uint32_t>(c.GetLastError()); }

// Just enough of a motor for the safe-mode handshake: the mode register,
// the program version, and silence for a while after restart or flash.
struct MiniMotor {
  int32_t mode = 0;
  bool ack_final = false;      // acknowledges restart/flash (as outside safe mode)
  bool reach_safe_mode = true;
  uint64_t silent_until_ms = 0;
  uint32_t silence_ms = 2000;
  VirtualBench* bench = nullptr;
  int restarts = 0, flashes = 0, safe_requests = 0;

  std::optional<Bytes> operator()(const Bytes& r) {
    const uint64_t now = bench->NowMs();
    if (now < silent_until_ms) return std::nullopt;
    switch (r[0]) {
      case 0x54:
        ++safe_requests;
        if (reach_safe_mode) mode = 15;
        return kAccept;
      case 0x57:
      case 0x56:
        if (ack_final) return kAccept;
        (r[0] == 0x57 ? restarts : flashes)++;
        mode = 0;
        silent_until_ms = now + silence_ms;
        return std::nullopt;
      case 0x50:
        return ReadReply(r[5], r[5] == 2 ? uint32_t(mode) : 0x0102);
      default:
        return std::nullopt;
    }
  }
};

struct MotorBench : VirtualBench {
  MiniMotor motor;
  MotorBench() {
    motor.bench = this;
    peer->SetResponder([this](const Bytes& r) { return motor(r); });
  }
  std::vector<uint8_t> Syncs() const {
    std::vector<uint8_t> s;
    for (const auto& w : line.written) s.push_back(w.bytes[0]);
    return s;
  }
};

TEST(Reset, SafeModeThenUnansweredRestart) {
  MotorBench b;
  EXPECT_TRUE(b.ctrl.Reset(3));
  EXPECT_EQ(b.line.written.front().bytes, (Bytes{0x54, 0x54, 0x54, 0x03, 0xFC, 0xAA, 0xAA}));
  EXPECT_EQ(b.LastSent(), (Bytes{0x57, 0x57, 0x57, 0x03, 0xFC, 0xAA, 0xAA}));
  EXPECT_EQ(b.Syncs(), (std::vector<uint8_t>{0x54, 0x50, 0x57}));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);  // the missing acceptance
}

TEST(Reset, AcknowledgedRestartIsResentAndFails) {
  MotorBench b;
  b.motor.ack_final = true;
  b.ctrl.SetRetries(3);
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.Reset(3));
  EXPECT_EQ(b.Syncs(), (std::vector<uint8_t>{0x54, 0x50, 0x57, 0x57, 0x57}));
  EXPECT_GE(b.NowMs() - start, 3000u);  // 1000 ms after every acknowledged send
  EXPECT_LT(b.NowMs() - start, 3100u);
  // Reset always asks for safe mode, even when the motor is already there.
  b.line.written.clear();
  EXPECT_FALSE(b.ctrl.Reset(3));
  EXPECT_EQ(b.line.written.front().bytes[0], 0x54);
}

TEST(Reset, MotorThatNeverReachesSafeModeTimesOut) {
  MotorBench b;
  b.motor.reach_safe_mode = false;
  b.peer->SetResponder([&](const Bytes& r) { return b.motor(r); }, 3000);
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.Reset(3));
  EXPECT_EQ(LastError(b.ctrl), ERR_TIMEOUT);
  EXPECT_GE(b.NowMs() - start, 5000u);
  EXPECT_LT(b.NowMs() - start, 5100u);
  EXPECT_NE(b.LastSent()[0], 0x57);

  // A wait whose last read ends exactly on the deadline, having read a mode
  // other than 15, reports the mode instead.
  MotorBench c;
  c.motor.reach_safe_mode = false;
  EXPECT_FALSE(c.ctrl.Reset(3));
  EXPECT_EQ(LastError(c.ctrl), ERR_SAFE_MODE);
}

TEST(Flash, SkipsSafeModeRequestWhenAlreadyThere) {
  MotorBench b;
  b.motor.mode = 15;
  EXPECT_TRUE(b.ctrl.WriteToFlash(3));
  EXPECT_EQ(b.Syncs(), (std::vector<uint8_t>{0x50, 0x56}));
  EXPECT_EQ(b.LastSent(), (Bytes{0x56, 0x56, 0x56, 0x03, 0xFC, 0xAA, 0xAA}));
  b.line.written.clear();
  b.platform->SleepMs(3000);  // let the motor come back
  EXPECT_TRUE(b.ctrl.WriteToFlash(3));
  EXPECT_EQ(b.Syncs(), (std::vector<uint8_t>{0x50, 0x54, 0x50, 0x56}));
  EXPECT_EQ(b.motor.flashes, 2);
}

TEST(WaitVariants, ReturnOnceTheMotorAnswersAgain) {
  MotorBench b;
  const uint64_t start = b.NowMs();
  EXPECT_TRUE(b.ctrl.ResetWait(3));
  EXPECT_GE(b.NowMs() - start, 2000u);
  EXPECT_LT(b.NowMs() - start, 2700u);
  EXPECT_EQ(b.motor.restarts, 1);
  EXPECT_EQ(b.line.written.back().bytes[5], 0x01);  // PROG_VERSION
  EXPECT_TRUE(b.ctrl.WriteToFlashWait(3));
  EXPECT_EQ(b.motor.flashes, 1);
}

TEST(WaitVariants, FailureOfTheCommandSkipsTheWait) {
  MotorBench b;
  b.motor.ack_final = true;
  b.ctrl.SetRetries(1);
  EXPECT_FALSE(b.ctrl.ResetWait(3));
  EXPECT_EQ(b.LastSent()[0], 0x57);  // no PROG_VERSION poll followed
}

TEST(WaitVariants, SilenceUntilTheDeadlineIsATimeoutNotSuccess) {
  // With one 100 ms attempt per read, the last read of a silent motor ends
  // exactly on the deadline; without a successful read that is a timeout.
  MotorBench b;
  b.ctrl.SetRetries(1);
  b.motor.silence_ms = 60000;
  EXPECT_FALSE(b.ctrl.ResetWait(3));
  EXPECT_EQ(LastError(b.ctrl), ERR_TIMEOUT);

  MotorBench c;
  c.ctrl.SetRetries(1);
  c.motor.silent_until_ms = c.NowMs() + 60000;
  EXPECT_FALSE(c.ctrl.WriteToFlash(3));
  EXPECT_EQ(LastError(c.ctrl), ERR_TIMEOUT);
  EXPECT_EQ(c.Syncs(), std::vector<uint8_t>(50, 0x50));  // never went on unread
}

TEST(WaitVariants, ClosedPortTimesOutWithoutSpinning) {
  VirtualBench b(false);
  uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.WriteToFlash(3));
  EXPECT_EQ(LastError(b.ctrl), ERR_TIMEOUT);
  EXPECT_GE(b.NowMs() - start, 5000u);
  EXPECT_LT(b.NowMs() - start, 5200u);
  start = b.NowMs();
  EXPECT_FALSE(b.ctrl.Reset(3));
  EXPECT_EQ(LastError(b.ctrl), ERR_TIMEOUT);
  EXPECT_TRUE(b.line.written.empty());
}

TEST(WaitVariants, GarbledRepliesArePolledWithoutPausing) {
  // A motor that answers garbage at once: its reads fail fast, but the port
  // is open, so the poll goes straight on instead of sleeping a window.
  VirtualBench b;
  b.ctrl.SetRetries(1);
  b.peer->SetResponder([](const Bytes&) { return Bytes(19, 0x00); }, 500);
  EXPECT_FALSE(b.ctrl.WriteToFlash(3));
  EXPECT_EQ(LastError(b.ctrl), ERR_TIMEOUT);
  EXPECT_GT(b.Sent(), 5000u);
}

Bytes StatusReply(uint8_t len, Bytes data, uint8_t addr = 0x00) {
  Bytes r{0x58, 0x58, 0x58, addr, uint8_t(~addr), len, uint8_t(~len)};
  for (uint8_t d : data) {
    r.push_back(d);
    r.push_back(uint8_t(~d));
  }
  r.push_back(0xAA);
  r.push_back(0xAA);
  return r;
}

const Bytes kStatusData{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xC8, 0x00};

TEST(Status, DecodesAndSkipsExtraData) {
  VirtualBench b;
  int16_t status = 0, errs = 0;
  int32_t pos = 0;
  b.peer->Reply(StatusReply(8, kStatusData));
  EXPECT_TRUE(b.ctrl.ReadStatus(300, status, pos, errs));
  EXPECT_EQ(b.LastSent(), (Bytes{0x58, 0x58, 0x58, 0x2C, 0xD3, 0xAA, 0xAA}));
  EXPECT_EQ(status, 0x1234);
  EXPECT_EQ(pos, -1);
  EXPECT_EQ(errs, 200);
  EXPECT_EQ(b.ctrl.GetLastError(), 0);

  Bytes longer = kStatusData;
  longer.insert(longer.end(), {0x01, 0x02});
  b.peer->Reply(StatusReply(10, longer));
  EXPECT_TRUE(b.ctrl.ReadStatus(1, status, pos, errs));
}

TEST(Status, FailureCodes) {
  struct Case {
    Bytes reply;
    uint32_t code;
  };
  Bytes wrong_sync = StatusReply(8, kStatusData);
  wrong_sync[0] = 0x52;
  Bytes bad_pair = StatusReply(8, kStatusData);
  bad_pair[8] = 0x00;
  Bytes bad_end = StatusReply(8, kStatusData);
  bad_end.back() = 0xAB;
  const Case cases[] = {
      {StatusReply(8, kStatusData, 0x01), ERR_ADDRESS_MISMATCH},
      {wrong_sync, ERR_ADDRESS_MISMATCH},
      {bad_pair, ERR_UNSPECIFIED},
      {bad_end, ERR_ADDRESS_MISMATCH},
      {StatusReply(6, Bytes(kStatusData.begin(), kStatusData.begin() + 6)), ERR_UNSPECIFIED},
      {Bytes{0x58, 0x58}, ERR_ANSWER_LENGTH},
  };
  for (const Case& c : cases) {
    VirtualBench b;
    b.ctrl.SetRetries(1);
    b.peer->Reply(c.reply);
    int16_t status = 0, errs = 0;
    int32_t pos = 0;
    EXPECT_FALSE(b.ctrl.ReadStatus(1, status, pos, errs));
    EXPECT_EQ(LastError(b.ctrl), c.code);
  }
}

TEST(Status, AttemptsAndPiecewiseTiming) {
  VirtualBench b;
  int16_t status = 0, errs = 0;
  int32_t pos = 0;
  b.ctrl.SetRetries(3);
  EXPECT_FALSE(b.ctrl.ReadStatus(1, status, pos, errs));
  EXPECT_EQ(b.Sent(), 3u);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
  b.ctrl.SetRetries(-2);
  EXPECT_FALSE(b.ctrl.ReadStatus(1, status, pos, errs));
  EXPECT_EQ(b.Sent(), 4u);

  // Each field has its own window: 90 ms pauses between pieces pass, and a
  // first failure followed by success keeps the failure's code.
  b.ctrl.SetRetries(2);
  const Bytes r = StatusReply(8, kStatusData);
  // Start sync, address, length, status, position, error counter, spare,
  // end sync: one piece each, 90 ms apart.
  const size_t cuts[] = {0, 3, 5, 7, 11, 19, 21, 23, r.size()};
  std::vector<Piece> pieces;
  for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
    pieces.push_back({90000, Bytes(r.begin() + cuts[i], r.begin() + cuts[i + 1])});
  }
  b.peer->Silence().ReplyInPieces(pieces);
  EXPECT_TRUE(b.ctrl.ReadStatus(1, status, pos, errs));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
}

TEST(GroupWrite, TelegramLayoutsAndCounters) {
  VirtualBench b;
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 5, 1000));
  ASSERT_EQ(b.Sent(), 3u);
  const Bytes first{0x59, 0x59, 0x59, 0x01, 0xFE, 0x01, 0xFE, 0x05, 0xFA,
                    0x02, 0xFD, 0xE8, 0x17, 0x03, 0xFC, 0xAA, 0xAA};
  for (const auto& w : b.line.written) EXPECT_EQ(w.bytes, first);
  EXPECT_TRUE(b.ctrl.WriteGroup(2, 3, 100000));
  EXPECT_EQ(b.LastSent(), (Bytes{0x59, 0x59, 0x59, 0x02, 0xFD, 0x01, 0xFE, 0x03, 0xFC, 0x04, 0xFB,
                                 0xA0, 0x5F, 0x86, 0x79, 0x01, 0xFE, 0x00, 0xFF, 0xAA, 0xAA}));
  EXPECT_TRUE(b.ctrl.WriteGroup(0, 260, 5));
  EXPECT_EQ(b.LastSent(), (Bytes{0x5C, 0x5C, 0x5C, 0x00, 0xFF, 0x01, 0xFE, 0x04, 0xFB, 0x02,
                                 0xFD, 0x05, 0xFA, 0x00, 0xFF, 0xAA, 0xAA}));
  EXPECT_TRUE(b.ctrl.WriteGroup(2, 5, -1));  // second call to group 2, 16-bit value
  EXPECT_EQ(Bytes(b.LastSent().begin() + 5, b.LastSent().begin() + 7), (Bytes{0x02, 0xFD}));
  EXPECT_EQ(Bytes(b.LastSent().begin() + 11, b.LastSent().begin() + 15),
            (Bytes{0xFF, 0x00, 0xFF, 0x00}));

  b.ctrl.SetGrpSends(1);
  for (int i = 3; i <= 255; ++i) EXPECT_TRUE(b.ctrl.WriteGroup(2, 5, 0));
  EXPECT_EQ(b.LastSent()[5], 255);
  EXPECT_TRUE(b.ctrl.WriteGroup(258, 5, 0));  // group 258 is group 2 on the wire
  EXPECT_EQ(b.LastSent()[3], 2);
  EXPECT_EQ(b.LastSent()[5], 1);
  b.ctrl.ResetSeqCounters();
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 5, 0));
  EXPECT_EQ(b.LastSent()[5], 1);

  b.ctrl.SetGrpSends(0);
  const size_t sent = b.Sent();
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 5, 0));  // nothing sent, counter still moves
  EXPECT_EQ(b.Sent(), sent);
  b.ctrl.SetGrpSends(1);
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 5, 0));
  EXPECT_EQ(b.LastSent()[5], 3);
}

TEST(GroupWrite, RefusedRegistersSendNothing) {
  VirtualBench b;
  for (int16_t reg : {0, -4, 4, 159, 256, 300, 359}) {
    EXPECT_FALSE(b.ctrl.WriteGroup(1, reg, 0)) << reg;
    EXPECT_EQ(LastError(b.ctrl), ERR_OS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(b.line.written.empty());
  b.ctrl.SetQELType(255, true);
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 159, 0));  // SAMPLE2 of the big table, 32-bit
  EXPECT_EQ(b.LastSent().size(), 21u);
  EXPECT_EQ(b.LastSent()[5], 1);  // refused calls used no sequence number
  EXPECT_FALSE(b.ctrl.WriteGroup(1, 4, 0));
}

TEST(GroupWrite, FailedCopiesAreReported) {
  VirtualBench b;
  b.line.short_writes = 1;
  EXPECT_FALSE(b.ctrl.WriteGroup(1, 5, 0));
  EXPECT_EQ(b.Sent(), 3u);  // the others still go out
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);

  // A transmit queue that never drains ends the wait after a bounded time.
  b.line.stuck_tx_ms = testing::TestLine::kNeverSent;
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.WriteGroup(1, 5, 0));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
  EXPECT_LT(b.NowMs() - start, 3 * 1100u);

  b.line.stuck_tx_ms = 5;  // drains after a while
  EXPECT_TRUE(b.ctrl.WriteGroup(1, 5, 0));

  VirtualBench closed(false);
  EXPECT_FALSE(closed.ctrl.WriteGroup(1, 5, 0));
  EXPECT_EQ(LastError(closed.ctrl), ERR_PORT_NOT_OPEN);
}

TEST(GroupWrite, DrainFollowsTheOpenSpeedAndEveryCopyWaits) {
  VirtualBench b;
  // A speed set after the open does not stretch the drain bound.
  b.ctrl.SetBaud(1);
  b.line.stuck_tx_ms = testing::TestLine::kNeverSent;
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.WriteGroup(1, 5, 0));
  EXPECT_LT(b.NowMs() - start, 3 * 1100u);

  // A short copy still waits for its drain before the next goes out.
  b.line.written.clear();
  b.line.short_writes = 1;
  b.line.stuck_tx_ms = 3;
  EXPECT_FALSE(b.ctrl.WriteGroup(1, 5, 0));
  ASSERT_EQ(b.Sent(), 3u);
  EXPECT_GE(b.line.written[1].at_us - b.line.written[0].at_us, 3000u);
}

}  // namespace
}  // namespace qelcomm::testing

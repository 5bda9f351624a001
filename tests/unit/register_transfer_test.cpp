#include <gtest/gtest.h>

#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

uint32_t LastError(CQelCommCtrl& c) { return static_cast<uint32_t>(c.GetLastError()); }

TEST(WriteParameter, TelegramLayouts) {
  VirtualBench b;
  b.peer->Reply(kAccept).Reply(kAccept).Reply(kAccept).Reply(kAccept);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 3, -2));  // P_SOLL, 32-bit
  EXPECT_EQ(b.LastSent(), (Bytes{0x52, 0x52, 0x52, 0x01, 0xFE, 0x03, 0xFC, 0x04, 0xFB, 0xFE,
                                 0x01, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xAA, 0xAA}));
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 2, 15));  // MODE_REG, 16-bit on a standard motor
  EXPECT_EQ(b.LastSent(), (Bytes{0x52, 0x52, 0x52, 0x01, 0xFE, 0x02, 0xFD, 0x02, 0xFD, 0x0F,
                                 0xF0, 0x00, 0xFF, 0xAA, 0xAA}));
  b.ctrl.SetQELType(1, true);  // 32-bit in the big-motor table
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 2, 15));
  EXPECT_EQ(b.LastSent(), (Bytes{0x52, 0x52, 0x52, 0x01, 0xFE, 0x02, 0xFD, 0x04, 0xFB, 0x0F,
                                 0xF0, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xAA, 0xAA}));
  // Extended register 260 (GROUPID), 16-bit, with a value beyond 16 bits:
  // only the low 16 bits go out.
  EXPECT_TRUE(b.ctrl.WriteParameter(300, 260, 0x12345));
  EXPECT_EQ(b.LastSent(), (Bytes{0x5B, 0x5B, 0x5B, 0x2C, 0xD3, 0x04, 0xFB, 0x02, 0xFD, 0x45,
                                 0xBA, 0x23, 0xDC, 0xAA, 0xAA}));
  EXPECT_EQ(b.ctrl.GetLastError(), 0);
}

TEST(WriteParameter, UnlistedRegisterWidthFallsBack) {
  VirtualBench b;
  b.peer->Reply(kAccept).Reply(kAccept).Reply(kAccept);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 4, 1));    // unlisted, standard: 16-bit
  EXPECT_EQ(b.LastSent().size(), 15u);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 300, 1));  // unlisted, extended: 32-bit
  EXPECT_EQ(b.LastSent().size(), 19u);
  EXPECT_EQ(b.LastSent()[5], 300 - 256);
  b.ctrl.SetQELType(1, true);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 4, 1));    // unlisted, big: 32-bit
  EXPECT_EQ(b.LastSent().size(), 19u);
}

TEST(WriteParameter, AcceptanceFailuresAndRetries) {
  VirtualBench b;
  b.ctrl.SetRetries(3);
  b.peer->Reply({0x11, 0x11, 0x12}).Reply({0x11, 0x11}).Reply({0x11, 0x11, 0x11, 0x11});
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(b.Sent(), 3u);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);  // the last attempt's code

  b.peer->Reply({0x10, 0x11, 0x12}).Reply(kAccept);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(LastError(b.ctrl), ERR_BAD_ACCEPT);  // a retry was needed

  b.line.short_writes = 1;
  b.peer->Silence().Reply(kAccept);  // a truncated telegram is not answered
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
}

TEST(ReadParameter, LayoutAndValue) {
  VirtualBench b;
  b.peer->Reply(ReadReply(2, 15));
  int32_t v = 0;
  EXPECT_TRUE(b.ctrl.ReadParameter(5, 2, v));
  EXPECT_EQ(b.LastSent(), (Bytes{0x50, 0x50, 0x50, 0x05, 0xFA, 0x02, 0xFD, 0xAA, 0xAA}));
  EXPECT_EQ(v, 15);

  b.peer->Reply(ReadReply(1, 0x1234, 0x5B));
  EXPECT_TRUE(b.ctrl.ReadParameter(5, 257, v));
  EXPECT_EQ(b.LastSent(), (Bytes{0x5A, 0x5A, 0x5A, 0x05, 0xFA, 0x01, 0xFE, 0xAA, 0xAA}));
  EXPECT_EQ(v, 0x1234);

  b.peer->Reply(ReadReply(3, 0xFFFFFFFE));  // P_SOLL, 32-bit signed
  EXPECT_TRUE(b.ctrl.ReadParameter(5, 3, v));
  EXPECT_EQ(v, -2);
}

TEST(ReadParameter, SignRule) {
  VirtualBench b;
  int32_t v = 0;
  b.peer->Reply(ReadReply(2, 0xFFFF));  // MODE_REG, type 1
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, -1);
  b.peer->Reply(ReadReply(1, 0xFFFF));  // PROG_VERSION, type 0
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 1, v));
  EXPECT_EQ(v, 65535);
  b.peer->Reply(ReadReply(93, 0x8000));  // KVFX4, type 3
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 93, v));
  EXPECT_EQ(v, -32768);
  b.peer->Reply(ReadReply(4, 0xABCDFFFF));  // unlisted 16-bit: signed, upper bytes ignored
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 4, v));
  EXPECT_EQ(v, -1);
  b.ctrl.SetQELType(1, true);
  b.peer->Reply(ReadReply(2, 0xFFFF));  // MODE_REG of a big motor: 32-bit
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 65535);
}

TEST(ReadParameter, HighestFailingPositionWins) {
  struct Case {
    int pos;
    uint8_t byte;
    uint32_t code;
  };
  const Case cases[] = {
      {0, 0x50, ERR_START_SYNC},     {3, 0x05, ERR_ADDRESS_MISMATCH},
      {4, 0xFA, ERR_ADDRESS_MISMATCH}, {5, 0x03, ERR_PARAM_MISMATCH},
      {6, 0x00, ERR_PARAM_MISMATCH}, {7, 0x02, ERR_LENGTH_MISMATCH},
      {8, 0xFD, ERR_LENGTH_MISMATCH}, {10, 0x00, ERR_INVERSION},
      {14, 0x00, ERR_INVERSION},     {16, 0x00, ERR_INVERSION},
      {17, 0xAB, ERR_END_SYNC},      {18, 0x00, ERR_END_SYNC},
  };
  for (const Case& c : cases) {
    VirtualBench b;
    b.ctrl.SetRetries(1);
    Bytes reply = ReadReply(2, 15);
    reply[size_t(c.pos)] = c.byte;
    b.peer->Reply(reply);
    int32_t v = 0;
    EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v)) << c.pos;
    EXPECT_EQ(LastError(b.ctrl), c.code) << c.pos;
  }
  // Position 5 and position 10 both wrong: the later one's code stays.
  VirtualBench b;
  b.ctrl.SetRetries(1);
  Bytes reply = ReadReply(2, 15);
  reply[5] = 0x07;
  reply[10] = 0x00;
  b.peer->Reply(reply);
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_INVERSION);
}

TEST(ReadParameter, AddressByteIsAlwaysZeroAndRegisterMustMatch) {
  VirtualBench b;
  b.ctrl.SetRetries(1);
  Bytes reply = ReadReply(2, 15);
  reply[3] = 0x05;
  reply[4] = 0xFA;  // equal to the address asked: still wrong
  b.peer->Reply(reply);
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(5, 2, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_ADDRESS_MISMATCH);

  // A negative number cannot be matched by the reply's register byte.
  b.peer->Reply(ReadReply(0xFD, 1));
  EXPECT_FALSE(b.ctrl.ReadParameter(5, -3, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_PARAM_MISMATCH);
  EXPECT_EQ(b.LastSent()[5], 0xFD);
}

TEST(ReadParameter, RetriesAndTimeoutsInVirtualTime) {
  VirtualBench b;
  int32_t v = 0;
  b.ctrl.SetRetries(0);
  uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.NowMs() - start, 100u);
  EXPECT_EQ(b.Sent(), 1u);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);

  b.ctrl.SetRetries(5);
  start = b.NowMs();
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.NowMs() - start, 500u);
  EXPECT_EQ(b.Sent(), 6u);

  // A timeout, then success: true with the first attempt's code left.
  b.peer->Silence().Reply(ReadReply(2, 7));
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 7);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
}

TEST(ReadParameter, ReplyTimingAndLeftovers) {
  VirtualBench b;
  int32_t v = 0;
  // A reply in pieces that completes inside the window is taken.
  Bytes r = ReadReply(2, 9);
  b.peer->ReplyInPieces({{5000, Bytes(r.begin(), r.begin() + 7)},
                         {60000, Bytes(r.begin() + 7, r.end())}});
  uint64_t start = b.NowMs();
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 9);
  EXPECT_EQ(b.NowMs() - start, 65u);  // noticed the moment it was complete

  // A late reply fails its attempt; the next attempt's discard drops it.
  b.peer->Reply(ReadReply(2, 1), 150).Reply(ReadReply(2, 2));
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 2);
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);

  // Twenty bytes at the end of the wait: all discarded, attempt failed.
  b.ctrl.SetRetries(1);
  Bytes twenty = ReadReply(2, 3);
  twenty.push_back(0x00);
  b.peer->Reply(twenty);
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_ANSWER_LENGTH);
  EXPECT_EQ(b.line.Queued(), 0u);

  // Bytes after a correct reply stay queued until the next send discards them.
  b.peer->ReplyInPieces({{1000, ReadReply(2, 4)}, {1000, {0x99}}});
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  b.platform->SleepMs(5);
  EXPECT_EQ(b.line.Queued(), 1u);
}

TEST(ReadParameter, ShortWriteSpoilsTheAttempt) {
  VirtualBench b;
  b.ctrl.SetRetries(2);
  b.line.short_writes = 1;
  b.peer->Reply(ReadReply(2, 1)).Reply(ReadReply(2, 2));
  int32_t v = 0;
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 2);
  EXPECT_EQ(LastError(b.ctrl), ERR_WRITE_SHORT);
}

TEST(RegisterTransfer, EchoIsTakenOffTheLineAndChecked) {
  VirtualBench b;
  const Bytes request = {0x50, 0x50, 0x50, 0x05, 0xFA, 0x02, 0xFD, 0xAA, 0xAA};
  auto then = [](Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
  };
  Bytes garbled = request;
  garbled[3] ^= 0x01;
  int32_t v = 0;
  b.peer->Reply(then(request, ReadReply(2, 15)));
  EXPECT_FALSE(b.ctrl.ReadParameter(5, 2, v)) << "off by default: an echo spoils the reply";

  b.ctrl.SetEcho(true);
  b.ctrl.SetRetries(2);
  b.peer->Reply(then(garbled, ReadReply(2, 15))).Reply(then(request, ReadReply(2, 16)));
  EXPECT_TRUE(b.ctrl.ReadParameter(5, 2, v));
  EXPECT_EQ(v, 16);
  EXPECT_EQ(LastError(b.ctrl), ERR_ECHO_MISMATCH) << "the first attempt's echo was wrong";
  // Its own code wins over what the reply checks make of the bytes after it.
  b.peer->Reply(ReadReply(2, 15)).Reply(ReadReply(2, 15));
  EXPECT_FALSE(b.ctrl.ReadParameter(5, 2, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_ECHO_MISMATCH);
}

TEST(RegisterTransfer, ClosedPortSendsNothing) {
  VirtualBench b(false);
  int32_t v = 42;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_PORT_NOT_OPEN);
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(LastError(b.ctrl), ERR_PORT_NOT_OPEN);
  EXPECT_TRUE(b.line.written.empty());
  EXPECT_EQ(v, 42);
}

TEST(RegisterTransfer, Register256IsRefusedBeforeSending) {
  VirtualBench b;
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 256, v));
  EXPECT_EQ(LastError(b.ctrl), ERR_OS_INVALID_PARAMETER);
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 256, 1));
  EXPECT_EQ(LastError(b.ctrl), ERR_OS_INVALID_PARAMETER);
  EXPECT_TRUE(b.line.written.empty());
}

TEST(RegisterTransfer, LostDeviceReportsOsErrorWithoutRetrying) {
  VirtualBench b;
  b.line.Vanish(5);
  int32_t v = 0;
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.ctrl.GetLastError(), 5);
  EXPECT_EQ(b.NowMs(), start);  // no waiting on a dead line
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(b.ctrl.GetLastError(), 5);
}

TEST(RegisterTransfer, DeadlinesSurviveTheTickCounterWrapping) {
  VirtualBench b;
  // Just below 2^32 ms: a 32-bit "clock below deadline" test would end the
  // window at once.
  b.line.clock().AdvanceTo((0xFFFFFFFFull - 40) * 1000);
  b.ctrl.SetRetries(1);
  int32_t v = 0;
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.NowMs() - start, 100u);
}

TEST(Trace, SeesEveryBlock) {
  VirtualBench b;
  std::vector<std::pair<TraceEvent::Direction, size_t>> seen;
  b.ctrl.SetTrace([&](const TraceEvent& e) { seen.emplace_back(e.direction, e.size); });
  b.peer->Reply({0x01, 0x02}).Reply(ReadReply(2, 1));
  int32_t v = 0;
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  using D = TraceEvent::Direction;
  const std::vector<std::pair<D, size_t>> expected{
      {D::Sent, 9}, {D::Discarded, 2}, {D::Sent, 9}, {D::Received, 19}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace qelcomm::testing

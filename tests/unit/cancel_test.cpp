// Cancel, the extra window, and the diagnosis of a window too short for
// the line's speed.
#include <gtest/gtest.h>

#include "qelcomm/diagnosis.h"
#include "qelcomm/errors.h"
#include "support/virtual_bench.h"

namespace qelcomm::testing {
namespace {

uint32_t LastError(CQelCommCtrl& c) { return static_cast<uint32_t>(c.GetLastError()); }

// Cancels the call as soon as its `nth` telegram has gone out.
void CancelAfterSend(VirtualBench& b, size_t nth) {
  b.ctrl.SetTrace([&b, nth, sent = size_t{0}](const TraceEvent& e) mutable {
    if (e.direction == TraceEvent::Direction::Sent && ++sent == nth) b.ctrl.Cancel();
  });
}

TEST(Cancel, EndsTheWaitAndTheRemainingAttemptsAtOnce) {
  VirtualBench b;
  b.ctrl.SetRetries(5);
  b.peer->Silence(5);
  CancelAfterSend(b, 1);
  const uint64_t start = b.NowMs();
  int32_t v = 0;
  EXPECT_FALSE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(b.NowMs(), start) << "no reply window was waited out";
  EXPECT_EQ(b.Sent(), 1u) << "no retry after Cancel";
  EXPECT_EQ(LastError(b.ctrl), ERR_CANCELLED);
  EXPECT_STREQ(ErrorName(ERR_CANCELLED), "ERR_CANCELLED");

  // The call that Cancel ended cleared it: the next one runs as usual.
  b.ctrl.SetTrace({});
  b.peer->Reply(ReadReply(2, 7));
  EXPECT_TRUE(b.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(v, 7);
}

TEST(Cancel, MadeBetweenCallsEndsTheNextCallOnly) {
  VirtualBench b;
  b.peer->Silence().Reply(kAccept);
  b.ctrl.Cancel();
  EXPECT_FALSE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(LastError(b.ctrl), ERR_CANCELLED);
  EXPECT_TRUE(b.ctrl.WriteParameter(1, 2, 1));
  EXPECT_EQ(LastError(b.ctrl), 0u);
}

TEST(Cancel, EndsTheRegisterPollOfAWaitingCommand) {
  VirtualBench b;
  b.peer->SetResponder([](const Bytes&) { return std::optional<Bytes>(); });
  CancelAfterSend(b, 3);  // inside the poll that follows the command
  const uint64_t start = b.NowMs();
  EXPECT_FALSE(b.ctrl.ResetWait(1));
  EXPECT_EQ(LastError(b.ctrl), ERR_CANCELLED) << "not a timeout";
  EXPECT_LT(b.NowMs() - start, 1000u);
}

TEST(Cancel, EndsTheSettlingOfAnOpen) {
  VirtualBench b(false);
  b.peer->Chatter(5, b.NowMs() * 1000);  // a line that never goes quiet
  b.ctrl.Cancel();
  EXPECT_FALSE(b.ctrl.OpenPort());
  EXPECT_EQ(LastError(b.ctrl), ERR_CANCELLED);
}

TEST(ExtraWindow, WidensReplyAndAcceptWindows) {
  for (uint32_t extra : {0u, 80u}) {
    SCOPED_TRACE(extra);
    VirtualBench reading, writing;
    reading.ctrl.SetRetries(1);
    writing.ctrl.SetRetries(1);
    reading.ctrl.SetExtraWindowMs(extra);
    writing.ctrl.SetExtraWindowMs(extra);
    EXPECT_EQ(reading.ctrl.ExtraWindowMs(), extra);
    reading.peer->Reply(ReadReply(2, 5), 150);
    writing.peer->Reply(kAccept, 150);
    int32_t v = 0;
    // 0 keeps the standard window, which a 150 ms reply misses.
    EXPECT_EQ(reading.ctrl.ReadParameter(1, 2, v), extra > 0);
    EXPECT_EQ(writing.ctrl.WriteParameter(1, 2, 1), extra > 0);
  }
  VirtualBench silent;
  silent.ctrl.SetRetries(1);
  silent.ctrl.SetExtraWindowMs(80);
  silent.peer->Silence();
  const uint64_t start = silent.NowMs();
  int32_t v = 0;
  EXPECT_FALSE(silent.ctrl.ReadParameter(1, 2, v));
  EXPECT_EQ(silent.NowMs() - start, 180u) << "a silent motor costs the widened window, no more";
}

TEST(WindowFit, NamesTheWiderWindowAReplyNeedsAtTheSpeedInForce) {
  const Bytes read_request{0x50, 0x50, 0x50, 0x01, 0xFE, 0x0A, 0xF5, 0xAA, 0xAA};
  LineLog log;
  log.Add({TraceEvent::Direction::Sent, 0, read_request.data(), read_request.size()});
  EXPECT_EQ(WindowFit(log, ERR_ANSWER_LENGTH, {1200, 0}),
            "at 1200 bit/s a 19-byte reply takes 158 ms, longer than the 100 ms window: try "
            "--extra-window-ms 80");
  const Bytes partial(12, 0x52);
  log.Add({TraceEvent::Direction::Received, 100, partial.data(), partial.size()});
  EXPECT_NE(WindowFit(log, ERR_ANSWER_LENGTH, {1200, 0, "extra_window_ms="}).find(
                "try extra_window_ms= 80"),
            std::string::npos);
  EXPECT_EQ(WindowFit(log, ERR_ANSWER_LENGTH, {1200, 60}), "") << "160 ms is enough";
  EXPECT_EQ(WindowFit(log, ERR_ANSWER_LENGTH, {19200, 0}), "") << "it fits at 19200 bit/s";
  EXPECT_EQ(WindowFit(log, 0, {1200, 0}), "") << "the call did not fail";
  EXPECT_EQ(WindowFit(log, ERR_INVERSION, {1200, 0}), "") << "a whole reply came";
}

}  // namespace
}  // namespace qelcomm::testing

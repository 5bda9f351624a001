// The building blocks of every exchange: the prologue, the send step, the
// receive waits, the accept wait, the end-sync scan and the attempt loop.
// Each telegram method configures these; none writes its own loop.
//
// Deadlines are absolute times on the platform's millisecond clock, taken
// by the caller right after its write, so a reply window never stretches
// with the work done inside it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "link/link.h"
#include "qelcomm/protocol.h"

namespace qelcomm::link {

// One reply window.
inline constexpr uint32_t kReplyWindowMs = protocol::kReplyWindowMs;

enum class Prologue {
  kTestOpen,           // a closed port fails with ERR_PORT_NOT_OPEN; else the last error is cleared
  kTestOpenKeepError,  // a closed port fails with ERR_PORT_NOT_OPEN; the last error stays
  kNone,               // neither: the method works on whatever the port holds
};
bool Begin(Link& link, Prologue prologue);

// What a failed send (a short write, a missing or wrong echo) means for the
// attempt it began.
enum class FailedSend {
  kFinal,    // the exchange ends there
  kRetried,  // the attempt fails without a reply awaited; another may follow
  kSpoils,   // the reply is still taken in, but the attempt cannot succeed
  kIgnored,  // its code is recorded; the reply alone decides the attempt
};

// How a method exchanges its telegram, declared once with the method.
struct Rules {
  Prologue prologue;
  FailedSend failed_send;
  // Pause after each failed attempt that the device survived, the last
  // one included.
  uint32_t pause_after_failure_ms = 0;
};
inline bool Begin(Link& link, const Rules& rules) { return Begin(link, rules.prologue); }

// The wire time of `bytes` bytes at 10 bits each, at the speed the port
// was opened at, rounded up.
uint64_t WireTimeMs(const Link& link, size_t bytes);
// The clock `window_ms`, widened by the link's extra window, from now.
uint64_t DeadlineIn(const Link& link, uint32_t window_ms = kReplyWindowMs);

// Discards the receive queue and sends the telegram (WriteTelegram).
bool SendStep(Link& link, std::span<const uint8_t> telegram);
// Discards the receive queue of an open port.
void Purge(Link& link);
// Takes `n` queued bytes off the port (open, or settling while it opens) and
// traces them as discarded.
void DiscardBytes(Link& link, size_t n);
// Writes the telegram in one write without discarding first; with echo on,
// then takes its own bytes back off the line. False after a short write
// (ERR_WRITE_SHORT) or a missing or different echo (ERR_ECHO_MISMATCH). A
// link that is not open transfers nothing, which counts as short.
bool WriteTelegram(Link& link, std::span<const uint8_t> telegram);

// Waits until at least `n` bytes are queued, the clock reaches `deadline` or
// the device is lost; gives the count queued. Reads nothing. The queue is
// always queried at least once.
size_t ReceiveWait(Link& link, size_t n, uint64_t deadline);
// Receive wait for exactly `reply.size()` bytes, which are then read into
// `reply`. Any other count is read and thrown away, and stores
// `wrong_length_code` unless that is 0.
bool ReceiveReply(Link& link, std::span<uint8_t> reply, uint64_t deadline,
                  uint32_t wrong_length_code);
// Reads `n` queued bytes into `buf`; gives the count read.
size_t ReadBytes(Link& link, uint8_t* buf, size_t n);

// The trickle receive wait, for a long reply that may come in slowly: like
// ReceiveWait for exactly `n` bytes from one reply window, but every change
// of the queue count moves the deadline kTrickleExtensionMs later. The whole
// wait is capped at one window plus twice the reply's wire time, so a line
// that keeps trickling noise cannot hold it. Gives the count queued.
inline constexpr uint32_t kTrickleExtensionMs = 10;
size_t TrickleReceiveWait(Link& link, size_t n);

// The drain wait, after an unanswered telegram of `bytes` bytes: until the
// device has sent everything written, bounded by that telegram's wire time
// at the open speed plus kDrainMarginMs. False when bytes are still queued
// as the bound passes or the device goes away.
inline constexpr uint32_t kDrainMarginMs = 1000;
bool DrainWait(Link& link, size_t bytes);

// One reply window for three bytes, each compared with `accept`
// (ERR_BAD_ACCEPT per differing byte); any other count is thrown away with
// ERR_ANSWER_LENGTH.
bool AcceptWait(Link& link, uint8_t accept);
// Accept waits, one after another, until one succeeds or a wait ends past
// one reply window from now. The code of the last wait stays.
bool AcceptWithin(Link& link, uint8_t accept);

// The end-sync scan: reads a reply of any length until two consecutive
// 0xAA, into a buffer of bounded size. Bytes queued behind the end sync are
// left for the next send's discard.
inline constexpr size_t kScanBufferSize = 100;
struct ScannedReply {
  enum class Outcome { kComplete, kTimeout, kOverflow };
  Outcome outcome = Outcome::kTimeout;
  std::array<uint8_t, kScanBufferSize> bytes{};
  size_t length = 0;  // end sync included when complete
  int end_sync_run = 0;
  // Stores one byte; true once the reply is complete or the buffer full.
  bool Take(uint8_t b);
  std::span<const uint8_t> view() const { return {bytes.data(), length}; }
};
ScannedReply EndSyncScan(Link& link, uint64_t deadline);

// What one attempt of an exchange came to.
enum class Attempt {
  kSucceeded,
  kFailed,       // another attempt may follow
  kFailedFinal,  // the exchange ends here
};
// True while another attempt may follow attempt number `attempts`: fewer
// than Retries so far (at least one attempt in all), the device is still
// there and the call was not cancelled.
bool MayRetry(const Link& link, int attempts);
// Ends a sequence of attempts: when it failed because the device went away,
// the OS error that showed it replaces the protocol code; when the last
// send's echo was wrong, ERR_ECHO_MISMATCH does; when Cancel ended it,
// ERR_CANCELLED does.
bool Finish(Link& link, bool ok);

// The attempt loop: max(1, Retries) attempts, ended early by success, by a
// final failure or by a lost device.
template <class AttemptFn>
bool RunAttempts(Link& link, AttemptFn&& attempt, uint32_t pause_after_failure_ms = 0) {
  for (int n = 1;; ++n) {
    const Attempt a = attempt();
    if (a == Attempt::kSucceeded) return Finish(link, true);
    if (a == Attempt::kFailed && pause_after_failure_ms > 0 && !Lost(link)) {
      Pause(link, pause_after_failure_ms);
    }
    if (a == Attempt::kFailedFinal || !MayRetry(link, n)) return Finish(link, false);
  }
}

// One exchange of `request` under the method's rules: each attempt is a
// send step followed, as the rules say, by `reply()`, which awaits and
// judges the answer and gives the attempt's outcome.
template <class ReplyFn>
bool Exchange(Link& link, const Rules& rules, std::span<const uint8_t> request, ReplyFn&& reply) {
  return RunAttempts(
      link,
      [&] {
        const bool sent = SendStep(link, request);
        if (!sent && rules.failed_send == FailedSend::kFinal) return Attempt::kFailedFinal;
        if (!sent && rules.failed_send == FailedSend::kRetried) return Attempt::kFailed;
        const Attempt a = reply();
        const bool spoiled = !sent && rules.failed_send == FailedSend::kSpoils;
        return a == Attempt::kSucceeded && spoiled ? Attempt::kFailed : a;
      },
      rules.pause_after_failure_ms);
}

// The probe waits, for a device that is coming back: `probe()` is repeated
// until it gives true or the device is lost, and a lost device ends the
// wait with its OS error.
// Bounded by count: at most `probes` probes.
template <class Probe>
bool ProbeTimes(Link& link, int probes, Probe&& probe) {
  for (int i = 0; i < probes && !Lost(link) && !Cancelled(link); ++i) {
    if (probe()) return true;
  }
  return Finish(link, false);
}
// Bounded by time: at least one probe, and more while the clock has not
// passed `deadline`.
template <class Probe>
bool ProbeUntil(Link& link, uint64_t deadline, Probe&& probe) {
  do {
    if (probe()) return true;
  } while (link.platform->NowMs() <= deadline && !Lost(link) && !Cancelled(link));
  return Finish(link, false);
}

// The register poll: `read(value)` is repeated until it succeeds with a
// value that `done(value)` accepts, the clock passes `deadline`, or the
// device is lost. A read on a closed port fails without waiting, so it is
// followed by one reply window of sleep and the poll never spins; a read
// that fails fast on an open port (a garbled reply) is repeated at once.
struct PollResult {
  uint64_t clock;  // after the last read
  bool any_read;   // some read succeeded
  int32_t last_value;
};
template <class Read, class Done>
PollResult PollRegister(Link& link, uint64_t deadline, Read&& read, Done&& done) {
  Platform& platform = *link.platform;
  PollResult r{platform.NowMs(), false, 0};
  for (;;) {
    int32_t value = 0;
    const bool ok = read(value);
    r.clock = platform.NowMs();
    if (ok) {
      r.any_read = true;
      r.last_value = value;
      if (done(value)) break;
    }
    if (r.clock >= deadline || Lost(link) || Cancelled(link)) break;
    if (!ok && !link.open) {
      Pause(link, kReplyWindowMs);
      r.clock = platform.NowMs();
    }
  }
  return r;
}

}  // namespace qelcomm::link

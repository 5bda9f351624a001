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
inline constexpr uint32_t kReplyWindowMs = 100;

enum class Prologue {
  kTestOpen,  // a closed port fails with ERR_PORT_NOT_OPEN; else the last error is cleared
  kNone,      // neither: the method works on whatever the port holds
};
bool Begin(Link& link, Prologue prologue);

// The wire time of `bytes` bytes at 10 bits each, at the speed the port
// was opened at, rounded up.
uint64_t WireTimeMs(const Link& link, size_t bytes);
// The clock `window_ms` from now.
uint64_t DeadlineIn(const Link& link, uint32_t window_ms = kReplyWindowMs);

// Discards the receive queue and sends the telegram (WriteTelegram).
bool SendStep(Link& link, std::span<const uint8_t> telegram);
// Discards the receive queue of an open port.
void Purge(Link& link);
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
// than Retries so far (at least one attempt in all), and the device is
// still there.
bool MayRetry(const Link& link, int attempts);
// Ends a sequence of attempts: when it failed because the device went away,
// the OS error that showed it replaces the protocol code; when the last
// send's echo was wrong, ERR_ECHO_MISMATCH does.
bool Finish(Link& link, bool ok);

// The attempt loop: max(1, Retries) attempts, ended early by success, by a
// final failure or by a lost device.
template <class AttemptFn>
bool RunAttempts(Link& link, AttemptFn&& attempt) {
  for (int n = 1;; ++n) {
    const Attempt a = attempt();
    if (a == Attempt::kSucceeded) return Finish(link, true);
    if (a == Attempt::kFailedFinal || !MayRetry(link, n)) return Finish(link, false);
  }
}

}  // namespace qelcomm::link

#include "link/exchange.h"

#include <algorithm>
#include <vector>

#include "qelcomm/errors.h"

namespace qelcomm::link {
namespace {

void Trace(const Link& link, TraceEvent::Direction dir, const uint8_t* data, size_t n) {
  if (link.trace && n > 0) link.trace({dir, link.platform->NowMs(), data, n});
}

}  // namespace

void DiscardBytes(Link& link, size_t n) {
  if (!link.port || n == 0) return;
  std::vector<uint8_t> junk(n);
  const size_t got = link.port->Read(junk.data(), n);
  Trace(link, TraceEvent::Direction::Discarded, junk.data(), got);
}

bool Begin(Link& link, Prologue prologue) {
  if (prologue == Prologue::kNone) return true;
  if (!link.open) {
    link.last_error = ERR_PORT_NOT_OPEN;
    return false;
  }
  if (prologue == Prologue::kTestOpen) link.last_error = 0;
  return true;
}

uint64_t WireTimeMs(const Link& link, size_t bytes) {
  const uint64_t baud = link.open_baud > 0 ? uint64_t(link.open_baud) : 1;
  return (uint64_t{bytes} * 10 * 1000 + baud - 1) / baud;
}

uint64_t DeadlineIn(const Link& link, uint32_t window_ms) {
  return link.platform->NowMs() + window_ms + link.extra_window_ms;
}

void Purge(Link& link) {
  if (link.open) link.port->Discard();
}

size_t ReceiveWait(Link& link, size_t n, uint64_t deadline) {
  if (!link.open) return 0;
  Platform& platform = *link.platform;
  // The wait takes what is already queued and gives the count it ended
  // with: the queue is asked only once the time is up.
  for (;;) {
    const uint64_t now = platform.NowMs();
    if (now >= deadline || Lost(link) || Cancelled(link)) return link.port->Counts().rx;
    const size_t count = link.port->WaitForBytes(n, static_cast<uint32_t>(deadline - now));
    if (count >= n) return count;
  }
}

size_t ReadBytes(Link& link, uint8_t* buf, size_t n) {
  if (!link.open || n == 0) return 0;
  const size_t got = link.port->Read(buf, n);
  Trace(link, TraceEvent::Direction::Received, buf, got);
  return got;
}

size_t TrickleReceiveWait(Link& link, size_t n) {
  if (!link.open) return 0;
  Platform& platform = *link.platform;
  const uint64_t start = platform.NowMs();
  const uint64_t window = kReplyWindowMs + link.extra_window_ms;
  const uint64_t cap = start + window + 2 * WireTimeMs(link, n);
  uint64_t deadline = start + window;
  size_t seen = 0;
  for (;;) {
    const size_t count = link.port->Counts().rx;
    if (count != seen) {
      seen = count;
      deadline = std::min(deadline + kTrickleExtensionMs, cap);
    }
    const uint64_t now = platform.NowMs();
    if (count == n || now >= deadline || Lost(link) || Cancelled(link)) return count;
    link.port->WaitForBytes(count + 1, static_cast<uint32_t>(deadline - now));
  }
}

bool DrainWait(Link& link, size_t bytes) {
  if (!link.open) return false;
  const uint64_t bound = WireTimeMs(link, bytes) + kDrainMarginMs;
  return link.port->WaitForTransmitted(static_cast<uint32_t>(std::min<uint64_t>(bound, UINT32_MAX)));
}

namespace {

// The telegram's own bytes, handed back by the line before any reply. They
// are there once the telegram has left; the window allows for its wire time.
bool TakeEcho(Link& link, std::span<const uint8_t> telegram) {
  const uint64_t deadline = DeadlineIn(link) + WireTimeMs(link, telegram.size());
  const size_t queued = ReceiveWait(link, telegram.size(), deadline);
  std::vector<uint8_t> echo(std::min(queued, telegram.size()));
  if (!echo.empty()) echo.resize(link.port->Read(echo.data(), echo.size()));
  Trace(link, TraceEvent::Direction::Echoed, echo.data(), echo.size());
  if (std::equal(echo.begin(), echo.end(), telegram.begin(), telegram.end())) return true;
  link.last_error = ERR_ECHO_MISMATCH;
  link.echo_failed = true;
  return false;
}

}  // namespace

bool WriteTelegram(Link& link, std::span<const uint8_t> telegram) {
  link.echo_failed = false;
  if (!link.open) {
    link.last_error = ERR_WRITE_SHORT;
    return false;
  }
  const size_t written = link.port->Write(telegram.data(), telegram.size());
  Trace(link, TraceEvent::Direction::Sent, telegram.data(), written);
  if (written != telegram.size()) {
    link.last_error = ERR_WRITE_SHORT;
    return false;
  }
  return !link.echo || TakeEcho(link, telegram);
}

bool SendStep(Link& link, std::span<const uint8_t> telegram) {
  Purge(link);
  return WriteTelegram(link, telegram);
}

bool ReceiveReply(Link& link, std::span<uint8_t> reply, uint64_t deadline,
                  uint32_t wrong_length_code) {
  const size_t count = ReceiveWait(link, reply.size(), deadline);
  if (count != reply.size()) {
    DiscardBytes(link, count);
    if (wrong_length_code != 0) link.last_error = wrong_length_code;
    return false;
  }
  ReadBytes(link, reply.data(), reply.size());
  return true;
}

namespace {

bool AcceptUntil(Link& link, uint8_t accept, uint64_t deadline) {
  std::array<uint8_t, protocol::kAcceptSize> reply{};
  if (!ReceiveReply(link, reply, deadline, ERR_ANSWER_LENGTH)) return false;
  bool ok = true;
  for (uint8_t b : reply) {
    if (b != accept) {
      link.last_error = ERR_BAD_ACCEPT;
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool AcceptWait(Link& link, uint8_t accept) {
  return AcceptUntil(link, accept, DeadlineIn(link));
}

bool AcceptWithin(Link& link, uint8_t accept) {
  // A new wait starts while the clock is still at the deadline, so one
  // window holds one or two accept waits. A wait that ran out counts as
  // ending on its own deadline, not a scheduler tick later, so a silent
  // start of the window always gets its second wait.
  const uint64_t deadline = DeadlineIn(link);
  for (uint64_t wait_deadline = deadline;; wait_deadline = DeadlineIn(link)) {
    if (AcceptUntil(link, accept, wait_deadline)) return true;
    const uint64_t ended = std::min(link.platform->NowMs(), wait_deadline);
    if (ended > deadline || Lost(link) || Cancelled(link)) return false;
  }
}

bool ScannedReply::Take(uint8_t b) {
  bytes[length++] = b;
  end_sync_run = b == protocol::kEndSync ? end_sync_run + 1 : 0;
  if (end_sync_run == 2) {
    outcome = Outcome::kComplete;
    return true;
  }
  if (length == bytes.size()) {
    outcome = Outcome::kOverflow;
    return true;
  }
  return false;
}

ScannedReply EndSyncScan(Link& link, uint64_t deadline) {
  ScannedReply reply;
  if (!link.open) return reply;
  Platform& platform = *link.platform;
  for (;;) {
    // Byte by byte, so that what follows the end sync stays queued.
    const size_t queued = link.port->Counts().rx;
    const size_t first = reply.length;
    bool done = false;
    for (size_t i = 0; i < queued && !done; ++i) {
      uint8_t b = 0;
      if (link.port->Read(&b, 1) != 1) break;
      done = reply.Take(b);
    }
    Trace(link, TraceEvent::Direction::Received, reply.bytes.data() + first, reply.length - first);
    if (done) return reply;
    const uint64_t now = platform.NowMs();
    if (now >= deadline || Lost(link) || Cancelled(link)) return reply;
    link.port->WaitForBytes(1, static_cast<uint32_t>(deadline - now));
  }
}

bool MayRetry(const Link& link, int attempts) {
  return !Lost(link) && !Cancelled(link) && attempts < link.retries;
}

bool Finish(Link& link, bool ok) {
  if (!ok && link.echo_failed) link.last_error = ERR_ECHO_MISMATCH;
  if (!ok && Cancelled(link)) link.last_error = ERR_CANCELLED;
  if (!ok && Lost(link)) link.last_error = link.port->LostError();
  return ok;
}

}  // namespace qelcomm::link

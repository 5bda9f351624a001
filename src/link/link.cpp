#include "link/link.h"

#include "qelcomm/errors.h"

namespace qelcomm::link {
namespace {

void Trace(const Link& link, TraceEvent::Direction dir, const uint8_t* data, size_t n) {
  if (link.trace && n > 0) link.trace({dir, link.platform->NowMs(), data, n});
}

}  // namespace

void Purge(Link& link) {
  if (link.open) link.port->Discard();
}

size_t WriteTelegram(Link& link, const std::vector<uint8_t>& telegram) {
  if (!link.open) return 0;
  const size_t written = link.port->Write(telegram.data(), telegram.size());
  Trace(link, TraceEvent::Direction::Sent, telegram.data(), written);
  return written;
}

bool SendStep(Link& link, const std::vector<uint8_t>& telegram) {
  Purge(link);
  if (WriteTelegram(link, telegram) == telegram.size()) return true;
  link.last_error = ERR_WRITE_SHORT;
  return false;
}

size_t ReceiveWait(Link& link, size_t n, uint32_t window_ms) {
  if (!link.open) return 0;
  Platform& platform = *link.platform;
  const uint64_t deadline = platform.NowMs() + window_ms;
  for (;;) {
    const size_t count = link.port->Counts().rx;
    const uint64_t now = platform.NowMs();
    if (count >= n || now >= deadline || Lost(link)) return count;
    link.port->WaitForBytes(n, static_cast<uint32_t>(deadline - now));
  }
}

size_t ReadBytes(Link& link, uint8_t* buf, size_t n) {
  if (!link.open || n == 0) return 0;
  const size_t got = link.port->Read(buf, n);
  Trace(link, TraceEvent::Direction::Received, buf, got);
  return got;
}

void DiscardBytes(Link& link, size_t n) {
  if (!link.open || n == 0) return;
  std::vector<uint8_t> junk(n);
  const size_t got = link.port->Read(junk.data(), n);
  Trace(link, TraceEvent::Direction::Discarded, junk.data(), got);
}

bool AcceptWait(Link& link, uint8_t accept) {
  const size_t count = ReceiveWait(link, 3);
  if (count != 3) {
    DiscardBytes(link, count);
    link.last_error = ERR_ANSWER_LENGTH;
    return false;
  }
  uint8_t reply[3] = {};
  ReadBytes(link, reply, 3);
  bool ok = true;
  for (uint8_t b : reply) {
    if (b != accept) {
      link.last_error = ERR_BAD_ACCEPT;
      ok = false;
    }
  }
  return ok;
}

bool MayRetry(const Link& link, int16_t attempts) {
  return !Lost(link) && attempts < link.retries;
}

bool Finish(Link& link, bool ok) {
  if (!ok && Lost(link)) link.last_error = link.port->LostError();
  return ok;
}

}  // namespace qelcomm::link

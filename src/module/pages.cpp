// Module debug state, page read and write, and the write command.
#include <algorithm>
#include <stdexcept>

#include "link/exchange.h"
#include "link/telegram.h"
#include "module/module.h"
#include "qelcomm/errors.h"

namespace qelcomm::module {
namespace {

namespace sync = protocol::sync;
using link::Attempt;
using protocol::kPageSize;
using protocol::kPageTelegramSize;

constexpr uint32_t kPageExtensionMs = 10;

// Waits for a whole page reply. Each change of the queue count moves the
// deadline 10 ms later, so a reply trickling in at a low bit rate is still
// collected; the whole wait is capped at one window plus twice the reply's
// wire time, so a line that keeps trickling noise cannot hold it forever.
size_t PageReceiveWait(link::Link& link) {
  const uint64_t start = link.platform->NowMs();
  const uint64_t cap = start + link::kReplyWindowMs + 2 * link::WireTimeMs(link, kPageTelegramSize);
  uint64_t deadline = start + link::kReplyWindowMs;
  size_t seen = 0;
  for (;;) {
    const size_t count = link.port->Counts().rx;
    if (count != seen) {
      seen = count;
      deadline = std::min(deadline + kPageExtensionMs, cap);
    }
    const uint64_t now = link.platform->NowMs();
    if (count == kPageTelegramSize || now >= deadline || link::Lost(link)) return count;
    link.port->WaitForBytes(count + 1, static_cast<uint32_t>(deadline - now));
  }
}

}  // namespace

bool Debug(link::Link& link, int16_t address, const DebugValues& out) {
  if (!link::Begin(link, link::Prologue::kTestOpen)) return false;
  const auto request = link::AddressTelegram(sync::kDebug, address);
  return link::RunAttempts(link, [&] {
    if (!link::SendStep(link, request)) return Attempt::kFailedFinal;
    const link::ScannedReply reply = link::EndSyncScan(link, link::DeadlineIn(link));
    if (reply.outcome == link::ScannedReply::Outcome::kTimeout) return Attempt::kFailed;
    // A full buffer without an end sync is judged like any reply of the
    // wrong length.
    return CheckDebugReply(reply.view(), link.last_error, out) ? Attempt::kSucceeded
                                                              : Attempt::kFailedFinal;
  });
}

bool GetPage(link::Link& link, int16_t address, int16_t page, std::vector<uint8_t>& data) {
  if (!link::Begin(link, link::Prologue::kTestOpen)) return false;
  link::Telegram t(sync::kPageRead);
  const auto request = t.Field(link::LowByte(address)).Field(link::LowByte(page)).End().bytes();
  std::vector<uint8_t> fresh(kPageSize);
  const bool ok = link::RunAttempts(link, [&] {
    if (!link::SendStep(link, request)) return Attempt::kFailedFinal;
    // A reply of any other length fails the attempt without a code.
    std::array<uint8_t, kPageTelegramSize> reply{};
    const size_t count = PageReceiveWait(link);
    const size_t got = link::ReadBytes(link, reply.data(), std::min(count, reply.size()));
    if (count != kPageTelegramSize || got != count) {
      if (count > got) link::Purge(link);
      return Attempt::kFailed;
    }
    switch (CheckPageReply(reply, page, link.last_error, std::span<uint8_t, kPageSize>(fresh))) {
      case PageVerdict::kAccepted: return Attempt::kSucceeded;
      case PageVerdict::kRejected: return Attempt::kFailed;
      case PageVerdict::kInversion: return Attempt::kFailedFinal;
    }
    return Attempt::kFailedFinal;
  });
  if (ok) data = std::move(fresh);  // what Data held before is released
  return ok;
}

bool PutPage(link::Link& link, int16_t address, int16_t page, std::span<const uint8_t> data) {
  if (data.size() < kPageSize) {
    throw std::invalid_argument("VemoPut needs 128 bytes of page data");
  }
  // No open test and no reset of the last error: on an empty port the
  // write comes up short.
  link::Telegram t(sync::kPage);
  t.Field(link::LowByte(address)).Field(link::LowByte(page));
  for (size_t i = 0; i < kPageSize; ++i) t.Field(data[i]);
  const auto request = t.End().bytes();
  return link::RunAttempts(link, [&] {
    if (!link::SendStep(link, request)) return Attempt::kFailedFinal;
    return link::AcceptWithin(link, protocol::kModuleAccept)
               ? Attempt::kSucceeded
               : Attempt::kFailed;
  });
}

bool Write(link::Link& link, int16_t address, const std::function<void()>& on_waiting) {
  const auto request = link::AddressTelegram(sync::kModuleWrite, address);
  int16_t type = 0;
  int16_t firmware = 0;
  return link::RunAttempts(link, [&] {
    if (!link::SendStep(link, request)) return Attempt::kFailedFinal;
    // A missing or wrong acceptance is not sent again.
    if (!link::AcceptWait(link, protocol::kModuleAccept)) return Attempt::kFailedFinal;
    if (on_waiting) on_waiting();
    const uint64_t deadline = link::DeadlineIn(link, kWriteWindowMs);
    do {
      if (GetModuleType(link, protocol::kModuleProbeAddress, type, firmware)) {
        return Attempt::kSucceeded;
      }
    } while (link.platform->NowMs() <= deadline && !link::Lost(link));
    return Attempt::kFailed;
  });
}

}  // namespace qelcomm::module

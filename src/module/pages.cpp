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
using link::FailedSend;
using link::Prologue;
using protocol::kPageSize;
using protocol::kPageTelegramSize;

// A short write ends each of these exchanges at once.
constexpr link::Rules kDebugRules{Prologue::kTestOpen, FailedSend::kFinal};
constexpr link::Rules kGetRules{Prologue::kTestOpen, FailedSend::kFinal};
// No open test and no reset of the last error: on an empty port the write
// comes up short.
constexpr link::Rules kPutRules{Prologue::kNone, FailedSend::kFinal};
constexpr link::Rules kWriteRules{Prologue::kNone, FailedSend::kFinal};

uint8_t AcceptOf(uint8_t request_sync) {
  return protocol::AcceptByte(*protocol::FindTelegram(request_sync));
}

}  // namespace

bool Debug(link::Link& link, int16_t address, const DebugValues& out) {
  if (!link::Begin(link, kDebugRules)) return false;
  const auto request = link::AddressTelegram(sync::kDebug, address);
  return link::Exchange(link, kDebugRules, request, [&] {
    const link::ScannedReply reply = link::EndSyncScan(link, link::DeadlineIn(link));
    if (reply.outcome == link::ScannedReply::Outcome::kTimeout) return Attempt::kFailed;
    // A full buffer without an end sync is judged like any reply of the
    // wrong length.
    return CheckDebugReply(reply.view(), link.last_error, out) ? Attempt::kSucceeded
                                                              : Attempt::kFailedFinal;
  });
}

bool GetPage(link::Link& link, int16_t address, int16_t page, std::vector<uint8_t>& data) {
  if (!link::Begin(link, kGetRules)) return false;
  link::Telegram t(sync::kPageRead);
  const auto request = t.Field(link::LowByte(address)).Field(link::LowByte(page)).End().bytes();
  std::vector<uint8_t> fresh(kPageSize);
  const bool ok = link::Exchange(link, kGetRules, request, [&] {
    // A reply of any other length fails the attempt without a code.
    std::array<uint8_t, kPageTelegramSize> reply{};
    const size_t count = link::TrickleReceiveWait(link, reply.size());
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
  link::Telegram t(sync::kPage);
  t.Field(link::LowByte(address)).Field(link::LowByte(page));
  for (size_t i = 0; i < kPageSize; ++i) t.Field(data[i]);
  const auto request = t.End().bytes();
  return link::Exchange(link, kPutRules, request, [&] {
    return link::AcceptWithin(link, AcceptOf(sync::kPage)) ? Attempt::kSucceeded
                                                           : Attempt::kFailed;
  });
}

bool Write(link::Link& link, int16_t address, const std::function<void()>& on_waiting) {
  const auto request = link::AddressTelegram(sync::kModuleWrite, address);
  int16_t type = 0;
  int16_t firmware = 0;
  return link::Exchange(link, kWriteRules, request, [&] {
    // A missing or wrong acceptance is not sent again.
    if (!link::AcceptWait(link, AcceptOf(sync::kModuleWrite))) return Attempt::kFailedFinal;
    if (on_waiting) on_waiting();
    const bool answered =
        link::ProbeUntil(link, link::DeadlineIn(link, kWriteWindowMs), [&] {
          return GetModuleType(link, protocol::kModuleProbeAddress, type, firmware);
        });
    return answered ? Attempt::kSucceeded : Attempt::kFailed;
  });
}

}  // namespace qelcomm::module

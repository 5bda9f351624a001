// Module identification, reset, stop and the probe that waits for a module
// to answer again.
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

// A short identification request is recorded, but the reply is still
// awaited and judged on its own merits.
constexpr link::Rules kIdentifyRules{Prologue::kTestOpen, FailedSend::kIgnored};
// The unanswered reset goes out once.
constexpr link::Rules kResetRules{Prologue::kTestOpen, FailedSend::kFinal};
// No open test and no reset of the last error: a stop on an empty port
// fails as a short write.
constexpr link::Rules kStopRules{Prologue::kNone, FailedSend::kFinal};

}  // namespace

bool GetModuleType(link::Link& link, int16_t address, int16_t& module_type, int16_t& firmware) {
  if (!link::Begin(link, kIdentifyRules)) return false;
  const auto request = link::AddressTelegram(sync::kIdentify, address);
  return link::Exchange(link, kIdentifyRules, request, [&] {
    const link::ScannedReply reply = link::EndSyncScan(link, link::DeadlineIn(link));
    switch (reply.outcome) {
      case link::ScannedReply::Outcome::kTimeout:
        return Attempt::kFailed;  // silence leaves no code of its own
      case link::ScannedReply::Outcome::kOverflow:
        link.last_error = ERR_ANSWER_LENGTH;
        return Attempt::kFailedFinal;
      case link::ScannedReply::Outcome::kComplete:
        break;
    }
    const auto judged = reply.view().first(reply.length - 2);
    return CheckIdentifyReply(judged, link.last_error, module_type, firmware)
               ? Attempt::kSucceeded
               : Attempt::kFailedFinal;
  });
}

bool Reset(link::Link& link, int16_t address) {
  if (!link::Begin(link, kResetRules)) return false;
  const auto request = link::AddressTelegram(sync::kModuleReset, address);
  return link::Exchange(link, kResetRules, request, [] { return Attempt::kSucceeded; });
}

bool Stop(link::Link& link, int16_t address) {
  const auto request = link::AddressTelegram(sync::kModuleStop, address);
  const uint8_t accept = protocol::AcceptByte(*protocol::FindTelegram(sync::kModuleStop));
  return link::Exchange(link, kStopRules, request, [&] {
    return link::AcceptWithin(link, accept) ? Attempt::kSucceeded : Attempt::kFailed;
  });
}

bool ProbeUntilAnswering(link::Link& link) {
  int16_t type = 0;
  int16_t firmware = 0;
  const int probes = 1 + (link.retries > 0 ? link.retries : 0);
  return link::ProbeTimes(link, probes, [&] {
    return GetModuleType(link, protocol::kModuleProbeAddress, type, firmware);
  });
}

bool ResetWait(link::Link& link, int16_t address) {
  return Reset(link, address) && ProbeUntilAnswering(link);
}

}  // namespace qelcomm::module

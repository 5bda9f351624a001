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

}  // namespace

bool GetModuleType(link::Link& link, int16_t address, int16_t& module_type, int16_t& firmware) {
  if (!link::Begin(link, link::Prologue::kTestOpen)) return false;
  const auto request = link::AddressTelegram(sync::kIdentify, address);
  return link::RunAttempts(link, [&] {
    // A short write is recorded, but the reply is still awaited and judged
    // on its own merits.
    link::SendStep(link, request);
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
  if (!link::Begin(link, link::Prologue::kTestOpen)) return false;
  return link::Finish(link, link::SendStep(link, link::AddressTelegram(sync::kModuleReset, address)));
}

bool Stop(link::Link& link, int16_t address) {
  // No open test and no reset of the last error: a stop on an empty port
  // fails as a short write.
  const auto request = link::AddressTelegram(sync::kModuleStop, address);
  return link::RunAttempts(link, [&] {
    if (!link::SendStep(link, request)) return Attempt::kFailedFinal;
    return link::AcceptWithin(link, protocol::kModuleAccept)
               ? Attempt::kSucceeded
               : Attempt::kFailed;
  });
}

bool ProbeUntilAnswering(link::Link& link) {
  int16_t type = 0;
  int16_t firmware = 0;
  const int probes = 1 + (link.retries > 0 ? link.retries : 0);
  for (int i = 0; i < probes && !link::Lost(link); ++i) {
    if (GetModuleType(link, protocol::kModuleProbeAddress, type, firmware)) return true;
  }
  return false;
}

bool ResetWait(link::Link& link, int16_t address) {
  return Reset(link, address) && ProbeUntilAnswering(link);
}

}  // namespace qelcomm::module

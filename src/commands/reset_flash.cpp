#include "commands/reset_flash.h"

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::commands {
namespace {

namespace sync = protocol::sync;
using protocol::kSafeModeValue;
using protocol::reg::kModeReg;
using protocol::reg::kProgVersion;

// Every wait for the motor's mode or for it to answer again.
constexpr uint32_t kWindowMs = 5000;
constexpr uint32_t kResendPauseMs = 1000;

// The commands send without an open test. A short safe-mode request is
// sent again at once; a short restart or flash command after the pause.
constexpr link::Rules kSafeModeRules{link::Prologue::kNone, link::FailedSend::kRetried};
constexpr link::Rules kFinalCommandRules{link::Prologue::kNone, link::FailedSend::kRetried,
                                         kResendPauseMs};

// Reads `reg` of the motor until `done` accepts its value or the clock
// passes `deadline` (the register poll).
template <class Done>
link::PollResult Poll(link::Link& link, const Target& motor, int16_t reg, uint64_t deadline,
                      Done done) {
  return link::PollRegister(
      link, deadline,
      [&](int32_t& value) {
        return link::ReadParameter(link, motor.Shape(reg), motor.address, reg, value);
      },
      done);
}

// Ends a wait: a clock beyond the deadline, or no successful read at all,
// is a timeout. A lost line keeps the OS error the read left.
bool TimedOut(link::Link& link, const link::PollResult& r, uint64_t deadline) {
  if (link::Lost(link)) return true;
  if (link::Cancelled(link)) {
    link.last_error = ERR_CANCELLED;
    return true;
  }
  if (r.clock > deadline || !r.any_read) {
    link.last_error = ERR_TIMEOUT;
    return true;
  }
  return false;
}

void RequestSafeMode(link::Link& link, int16_t address) {
  const auto telegram = link::AddressTelegram(sync::kSafeMode, address);
  const uint8_t accept = protocol::AcceptByte(*protocol::FindTelegram(sync::kSafeMode));
  link::Exchange(link, kSafeModeRules, telegram, [&] {
    return link::AcceptWait(link, accept) ? link::Attempt::kSucceeded : link::Attempt::kFailed;
  });
}

bool WaitForSafeMode(link::Link& link, const Target& motor) {
  const uint64_t deadline = link::DeadlineIn(link, kWindowMs);
  const link::PollResult r = Poll(link, motor, kModeReg, deadline,
                                  [](int32_t mode) { return mode == kSafeModeValue; });
  if (TimedOut(link, r, deadline)) return false;
  if (r.last_value != kSafeModeValue) {
    link.last_error = ERR_SAFE_MODE;
    return false;
  }
  return true;
}

// The restart and flash commands are not acknowledged by a motor in safe
// mode: an attempt succeeds when no valid acceptance comes back. Silence
// from a device that has gone away proves nothing, so a lost device fails
// the command, at once.
bool SendFinalCommand(link::Link& link, uint8_t sync, int16_t address) {
  const auto telegram = link::AddressTelegram(sync, address);
  return link::Exchange(link, kFinalCommandRules, telegram, [&] {
    const bool accepted = link::AcceptWait(link, protocol::kMotorAccept);
    if (link::Lost(link)) return link::Attempt::kFailedFinal;
    return accepted ? link::Attempt::kFailed : link::Attempt::kSucceeded;
  });
}

bool WaitUntilAnswering(link::Link& link, const Target& motor) {
  const uint64_t deadline = link::DeadlineIn(link, kWindowMs);
  const link::PollResult r = Poll(link, motor, kProgVersion, deadline, [](int32_t) { return true; });
  return !TimedOut(link, r, deadline);
}

}  // namespace

link::RegisterShape Target::Shape(int16_t reg) const { return registers::WireShape(big, reg); }

bool Reset(link::Link& link, const Target& motor) {
  RequestSafeMode(link, motor.address);
  if (!WaitForSafeMode(link, motor)) return false;
  return SendFinalCommand(link, sync::kRestart, motor.address);
}

bool WriteToFlash(link::Link& link, const Target& motor) {
  const uint64_t deadline = link::DeadlineIn(link, kWindowMs);
  const link::PollResult mode = Poll(link, motor, kModeReg, deadline, [](int32_t) { return true; });
  if (TimedOut(link, mode, deadline)) return false;
  if (mode.last_value != kSafeModeValue) {
    RequestSafeMode(link, motor.address);
    if (!WaitForSafeMode(link, motor)) return false;
  }
  return SendFinalCommand(link, sync::kFlash, motor.address);
}

bool ResetWait(link::Link& link, const Target& motor) {
  return Reset(link, motor) && WaitUntilAnswering(link, motor);
}

bool WriteToFlashWait(link::Link& link, const Target& motor) {
  return WriteToFlash(link, motor) && WaitUntilAnswering(link, motor);
}

}  // namespace qelcomm::commands

#include "commands/reset_flash.h"

#include "link/exchange.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"
#include "registers/catalogue.h"

namespace qelcomm::commands {
namespace {

namespace sync = protocol::sync;

constexpr int16_t kModeReg = 2;
constexpr int16_t kProgVersion = 1;
constexpr int32_t kSafeMode = 15;
constexpr uint32_t kWindowMs = 5000;
constexpr uint32_t kResendPauseMs = 1000;

// Polls one register until `done` says so or the clock passes `deadline`.
// A read on a closed port fails without waiting, so it is followed by one
// reply window of sleep and the poll never spins; a read that fails fast on
// an open port (a garbled reply) is repeated at once. Gives the clock after
// the last read and whether any read succeeded.
struct PollResult {
  uint64_t clock;
  bool any_read;
  int32_t last_value;
};
template <class Done>
PollResult PollRegister(link::Link& link, link::RegisterShape shape, int16_t address, int16_t reg,
                        uint64_t deadline, Done done) {
  Platform& platform = *link.platform;
  PollResult r{platform.NowMs(), false, 0};
  for (;;) {
    int32_t value = 0;
    const bool ok = link::ReadParameter(link, shape, address, reg, value);
    r.clock = platform.NowMs();
    if (ok) {
      r.any_read = true;
      r.last_value = value;
      if (done(value)) break;
    }
    if (r.clock >= deadline || link::Lost(link)) break;
    if (!ok && !link.open) {
      platform.SleepMs(link::kReplyWindowMs);
      r.clock = platform.NowMs();
    }
  }
  return r;
}

// Ends a wait: a clock beyond the deadline, or no successful read at all,
// is a timeout. A lost line keeps the OS error the read left.
bool TimedOut(link::Link& link, const PollResult& r, uint64_t deadline) {
  if (link::Lost(link)) return true;
  if (r.clock > deadline || !r.any_read) {
    link.last_error = ERR_TIMEOUT;
    return true;
  }
  return false;
}

void RequestSafeMode(link::Link& link, int16_t address) {
  const auto telegram = link::AddressTelegram(sync::kSafeMode, address);
  link::RunAttempts(link, [&] {
    const bool ok = link::SendStep(link, telegram) && link::AcceptWait(link, protocol::kMotorAccept);
    return ok ? link::Attempt::kSucceeded : link::Attempt::kFailed;
  });
}

bool WaitForSafeMode(link::Link& link, const Target& motor) {
  const uint64_t deadline = link::DeadlineIn(link, kWindowMs);
  const PollResult r = PollRegister(link, motor.Shape(kModeReg), motor.address, kModeReg, deadline,
                                    [](int32_t mode) { return mode == kSafeMode; });
  if (TimedOut(link, r, deadline)) return false;
  if (r.last_value != kSafeMode) {
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
  return link::RunAttempts(link, [&] {
    const bool unacknowledged =
        link::SendStep(link, telegram) && !link::AcceptWait(link, protocol::kMotorAccept);
    if (link::Lost(link)) return link::Attempt::kFailedFinal;
    if (unacknowledged) return link::Attempt::kSucceeded;
    link.platform->SleepMs(kResendPauseMs);
    return link::Attempt::kFailed;
  });
}

bool WaitUntilAnswering(link::Link& link, const Target& motor) {
  const uint64_t deadline = link::DeadlineIn(link, kWindowMs);
  const PollResult r = PollRegister(link, motor.Shape(kProgVersion), motor.address, kProgVersion,
                                    deadline, [](int32_t) { return true; });
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
  const PollResult mode = PollRegister(link, motor.Shape(kModeReg), motor.address, kModeReg,
                                       deadline, [](int32_t) { return true; });
  if (TimedOut(link, mode, deadline)) return false;
  if (mode.last_value != kSafeMode) {
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

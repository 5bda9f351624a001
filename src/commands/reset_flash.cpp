#include "commands/reset_flash.h"

#include "link/register_transfer.h"
#include "link/telegram.h"
#include "qelcomm/errors.h"

namespace qelcomm::commands {
namespace {

constexpr uint8_t kEnterSafeMode = 0x54;
constexpr uint8_t kRestart = 0x57;
constexpr uint8_t kFlash = 0x56;
constexpr int16_t kModeReg = 2;
constexpr int16_t kProgVersion = 1;
constexpr int32_t kSafeMode = 15;
constexpr uint32_t kWindowMs = 5000;
constexpr uint32_t kResendPauseMs = 1000;

std::vector<uint8_t> Command(uint8_t sync, int16_t address) {
  return link::Telegram(sync).Field(link::LowByte(address)).End().bytes();
}

// Polls one register until `done` says so or the window closes. A read that
// fails without waiting (the port is not open) is followed by one reply
// window of sleep, so the poll never spins. Gives the clock after the last
// read and whether any read succeeded.
struct PollResult {
  uint64_t clock;
  bool any_read;
  int32_t last_value;
};
template <class Done>
PollResult PollRegister(link::Link& link, bool big, int16_t address, int16_t reg, Done done) {
  Platform& platform = *link.platform;
  const uint64_t deadline = platform.NowMs() + kWindowMs;
  PollResult r{platform.NowMs(), false, 0};
  for (;;) {
    const uint64_t before = platform.NowMs();
    int32_t value = 0;
    const bool ok = link::ReadParameter(link, big, address, reg, value);
    r.clock = platform.NowMs();
    if (ok) {
      r.any_read = true;
      r.last_value = value;
      if (done(value)) break;
    }
    if (r.clock >= deadline || link::Lost(link)) break;
    if (!ok && r.clock == before) {
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
  const auto telegram = Command(kEnterSafeMode, address);
  int16_t attempts = 0;
  bool ok = false;
  do {
    ++attempts;
    ok = link::SendStep(link, telegram) && link::AcceptWait(link, link::kMotorAccept);
  } while (!ok && link::MayRetry(link, attempts));
}

bool WaitForSafeMode(link::Link& link, bool big, int16_t address) {
  const uint64_t deadline = link.platform->NowMs() + kWindowMs;
  const PollResult r =
      PollRegister(link, big, address, kModeReg, [](int32_t mode) { return mode == kSafeMode; });
  if (TimedOut(link, r, deadline)) return false;
  if (r.last_value != kSafeMode) {
    link.last_error = ERR_SAFE_MODE;
    return false;
  }
  return true;
}

// The restart and flash commands are not acknowledged by a motor in safe
// mode: an attempt succeeds when no valid acceptance comes back.
bool SendFinalCommand(link::Link& link, uint8_t sync, int16_t address) {
  const auto telegram = Command(sync, address);
  int16_t attempts = 0;
  bool result = false;
  do {
    ++attempts;
    result = link::SendStep(link, telegram) && !link::AcceptWait(link, link::kMotorAccept);
    if (result) break;
    link.platform->SleepMs(kResendPauseMs);
  } while (link::MayRetry(link, attempts));
  return link::Finish(link, result);
}

bool WaitUntilAnswering(link::Link& link, bool big, int16_t address) {
  const uint64_t deadline = link.platform->NowMs() + kWindowMs;
  const PollResult r = PollRegister(link, big, address, kProgVersion, [](int32_t) { return true; });
  return !TimedOut(link, r, deadline);
}

}  // namespace

bool Reset(link::Link& link, bool big, int16_t address) {
  RequestSafeMode(link, address);
  if (!WaitForSafeMode(link, big, address)) return false;
  return SendFinalCommand(link, kRestart, address);
}

bool WriteToFlash(link::Link& link, bool big, int16_t address) {
  const uint64_t deadline = link.platform->NowMs() + kWindowMs;
  const PollResult mode = PollRegister(link, big, address, kModeReg, [](int32_t) { return true; });
  if (TimedOut(link, mode, deadline)) return false;
  if (mode.last_value != kSafeMode) {
    RequestSafeMode(link, address);
    if (!WaitForSafeMode(link, big, address)) return false;
  }
  return SendFinalCommand(link, kFlash, address);
}

bool ResetWait(link::Link& link, bool big, int16_t address) {
  return Reset(link, big, address) && WaitUntilAnswering(link, big, address);
}

bool WriteToFlashWait(link::Link& link, bool big, int16_t address) {
  return WriteToFlash(link, big, address) && WaitUntilAnswering(link, big, address);
}

}  // namespace qelcomm::commands

// The constants of the serial protocol, shared by the control, the virtual
// bus and the tools' trace decoder so that none of them can drift apart.
//
// Every telegram starts with three equal sync bytes that name it, carries
// one-byte fields each followed by its bitwise complement, and ends with the
// end sync 0xAA 0xAA. There is no checksum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelcomm::protocol {

// Start syncs of every telegram kind.
namespace sync {
inline constexpr uint8_t kRead = 0x50;
inline constexpr uint8_t kReadExtended = 0x5A;
inline constexpr uint8_t kWrite = 0x52;  // also the reply to a read
inline constexpr uint8_t kWriteExtended = 0x5B;
inline constexpr uint8_t kSafeMode = 0x54;
inline constexpr uint8_t kRestart = 0x57;
inline constexpr uint8_t kFlash = 0x56;
inline constexpr uint8_t kStatus = 0x58;  // request and reply
inline constexpr uint8_t kGroup = 0x59;
inline constexpr uint8_t kGroupExtended = 0x5C;
inline constexpr uint8_t kIdentify = 0x5F;  // request and reply
inline constexpr uint8_t kModuleReset = 0x33;
inline constexpr uint8_t kModuleStop = 0x32;
inline constexpr uint8_t kDebug = 0x30;  // request and reply
inline constexpr uint8_t kPageRead = 0x34;
inline constexpr uint8_t kPage = 0x31;  // page data, both directions
inline constexpr uint8_t kModuleWrite = 0x35;
inline constexpr uint8_t kQup = 0x61;  // request and reply
inline constexpr uint8_t kQupReset = 0x60;
}  // namespace sync

inline constexpr uint8_t kEndSync = 0xAA;
// Write-type telegrams are acknowledged with three equal accept bytes.
inline constexpr uint8_t kMotorAccept = 0x11;
inline constexpr uint8_t kModuleAccept = 0x22;
inline constexpr size_t kAcceptSize = 3;
// Replies carry this address (and its complement) instead of the sender's.
inline constexpr uint8_t kReplyAddress = 0x00;

// Register numbers above this travel with the extended syncs, as
// (number - kExtendedBase). The number itself is reachable by neither range.
inline constexpr int kExtendedBase = 256;
constexpr bool IsExtended(int reg) { return reg > kExtendedBase; }
// The number a register telegram carries for register `reg`.
constexpr int RegisterOnWire(int reg) { return IsExtended(reg) ? reg - kExtendedBase : reg; }

// Whole reply lengths, end sync included.
inline constexpr size_t kReadReplySize = 19;
inline constexpr size_t kIdentifyReplySize = 13;
inline constexpr size_t kDebugReplySize = 23;
inline constexpr size_t kPageTelegramSize = 265;  // VemoPut's request and VemoGet's reply
inline constexpr size_t kQupReplySize = 25;
inline constexpr size_t kQupDataSize = 8;
inline constexpr size_t kPageSize = 128;

// How long a reply has to arrive after its request was written.
inline constexpr uint32_t kReplyWindowMs = 100;

// Modules answer identification at this address too; the control probes it
// to see whether a module is back after a reset or a write.
inline constexpr uint8_t kModuleProbeAddress = 0xFF;

// Qup command codes, the first payload byte of a Qup telegram.
namespace qup {
inline constexpr uint8_t kNoop = 0, kStart = 1, kStop = 2, kPause = 3, kStep = 4, kOutputs = 5;
}

// What answers a telegram.
enum class Reply : uint8_t {
  kNone,            // never answered
  kMotorAccepted,   // three bytes kMotorAccept
  kModuleAccepted,  // three bytes kModuleAccept
  kRegisterValue,   // the register's value, as a write telegram of the reply sync
  kStatus,          // status word, position and error count; the motor says the length
  kIdentify,        // module type and firmware, read by the end-sync scan
  kDebug,           // the module's debug state
  kPage,            // one memory page
  kQup,             // eight data bytes of the module's program
};

enum class Family : uint8_t {
  kRegisterRead,
  kRegisterWrite,
  kResetFlash,
  kStatus,
  kGroup,
  kModule,
  kPage,
  kQup,
};

// One row per start sync the host sends.
struct TelegramKind {
  uint8_t sync;
  Family family;
  bool extended;       // carries register number - kExtendedBase
  Reply reply;
  uint8_t reply_sync;  // the reply telegram's start sync; 0 for accept bytes or none
  size_t reply_size;   // the whole reply, end sync included; 0 when none or it varies
  const char* name;    // in the words of a trace
};

constexpr bool Answered(const TelegramKind& k) { return k.reply != Reply::kNone; }

inline constexpr TelegramKind kTelegrams[] = {
    {sync::kRead, Family::kRegisterRead, false, Reply::kRegisterValue, sync::kWrite, kReadReplySize,
     "register read"},
    {sync::kReadExtended, Family::kRegisterRead, true, Reply::kRegisterValue, sync::kWriteExtended,
     kReadReplySize, "extended register read"},
    {sync::kWrite, Family::kRegisterWrite, false, Reply::kMotorAccepted, 0, kAcceptSize,
     "register write"},
    {sync::kWriteExtended, Family::kRegisterWrite, true, Reply::kMotorAccepted, 0, kAcceptSize,
     "extended register write"},
    {sync::kSafeMode, Family::kResetFlash, false, Reply::kMotorAccepted, 0, kAcceptSize, "enter safe mode"},
    {sync::kRestart, Family::kResetFlash, false, Reply::kNone, 0, 0, "restart"},
    {sync::kFlash, Family::kResetFlash, false, Reply::kNone, 0, 0, "write flash"},
    {sync::kStatus, Family::kStatus, false, Reply::kStatus, sync::kStatus, 0, "read status"},
    {sync::kGroup, Family::kGroup, false, Reply::kNone, 0, 0, "group write"},
    {sync::kGroupExtended, Family::kGroup, true, Reply::kNone, 0, 0, "extended group write"},
    {sync::kIdentify, Family::kModule, false, Reply::kIdentify, sync::kIdentify, kIdentifyReplySize,
     "module identification"},
    {sync::kModuleReset, Family::kModule, false, Reply::kNone, 0, 0, "module reset"},
    {sync::kModuleStop, Family::kModule, false, Reply::kModuleAccepted, 0, kAcceptSize, "module stop"},
    {sync::kDebug, Family::kModule, false, Reply::kDebug, sync::kDebug, kDebugReplySize, "module debug"},
    {sync::kPageRead, Family::kPage, false, Reply::kPage, sync::kPage, kPageTelegramSize, "page read"},
    {sync::kPage, Family::kPage, false, Reply::kModuleAccepted, 0, kAcceptSize, "page write"},
    {sync::kModuleWrite, Family::kPage, false, Reply::kModuleAccepted, 0, kAcceptSize, "module write"},
    {sync::kQup, Family::kQup, false, Reply::kQup, sync::kQup, kQupReplySize, "Qup command"},
    {sync::kQupReset, Family::kQup, false, Reply::kNone, 0, 0, "Qup reset"},
};

// The row of a start sync the host sends; null for any other byte.
constexpr const TelegramKind* FindTelegram(uint8_t s) {
  for (const auto& k : kTelegrams) {
    if (k.sync == s) return &k;
  }
  return nullptr;
}

// The row of the request that a reply of start sync `s` answers; null when
// no reply starts so.
constexpr const TelegramKind* FindRequestAnsweredBy(uint8_t s) {
  for (const auto& k : kTelegrams) {
    if (k.reply_sync != 0 && k.reply_sync == s) return &k;
  }
  return nullptr;
}

// The accept byte of a telegram answered by accept bytes; 0 for any other.
constexpr uint8_t AcceptByte(const TelegramKind& k) {
  return k.reply == Reply::kMotorAccepted ? kMotorAccept
         : k.reply == Reply::kModuleAccepted ? kModuleAccept
                                             : 0;
}

constexpr bool SyncsAreUnique() {
  for (const auto& a : kTelegrams) {
    if (FindTelegram(a.sync) != &a) return false;
  }
  return true;
}
static_assert(SyncsAreUnique(), "each start sync names one telegram");

constexpr bool RepliesAreUnique() {
  for (const auto& a : kTelegrams) {
    int answering = 0;
    for (const auto& b : kTelegrams) answering += a.reply_sync != 0 && b.reply_sync == a.reply_sync;
    if (answering > 1) return false;
  }
  return true;
}
static_assert(RepliesAreUnique(), "each reply sync answers one request");

// Registers every motor has at these numbers, whatever its size, and the
// mode register's value in safe mode.
namespace reg {
inline constexpr int16_t kProgVersion = 1;
inline constexpr int16_t kModeReg = 2;
}  // namespace reg
inline constexpr int32_t kSafeModeValue = 15;

// A group telegram reaches motors of either size; the catalogue of this
// address's size chooses how its register travels.
inline constexpr int16_t kGroupTableAddress = 255;

// A module program fills pages 0 to kProgramPages - 1.
inline constexpr int kProgramPages = 4;
inline constexpr size_t kProgramImageSize = kProgramPages * kPageSize;

// The start sync of a register telegram of `family` for register `reg`.
constexpr uint8_t RegisterSync(Family family, int reg) {
  for (const auto& k : kTelegrams) {
    if (k.family == family && k.extended == IsExtended(reg)) return k.sync;
  }
  return 0;
}

}  // namespace qelcomm::protocol

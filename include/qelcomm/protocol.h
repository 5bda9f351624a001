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

// Whole reply lengths, end sync included.
inline constexpr size_t kReadReplySize = 19;
inline constexpr size_t kIdentifyReplySize = 13;
inline constexpr size_t kDebugReplySize = 23;
inline constexpr size_t kPageTelegramSize = 265;  // VemoPut's request and VemoGet's reply
inline constexpr size_t kQupReplySize = 25;
inline constexpr size_t kQupDataSize = 8;
inline constexpr size_t kPageSize = 128;

// Modules answer identification at this address too; the control probes it
// to see whether a module is back after a reset or a write.
inline constexpr uint8_t kModuleProbeAddress = 0xFF;

// Qup command codes, the first payload byte of a Qup telegram.
namespace qup {
inline constexpr uint8_t kNoop = 0, kStart = 1, kStop = 2, kPause = 3, kStep = 4, kOutputs = 5;
}

}  // namespace qelcomm::protocol

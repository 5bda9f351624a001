// Telegram framing shared by every part of the simulated bus: three equal
// start-sync bytes, one-byte fields each followed by its complement, end sync
// 0xAA 0xAA. FrameParser cuts a byte stream into telegrams; BuildFrame makes
// one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qelcomm::sim {

inline constexpr uint8_t kEndSync = 0xAA;

// Start-sync values of the telegrams the host sends.
namespace sync {
inline constexpr uint8_t kReadStd = 0x50;
inline constexpr uint8_t kReadExt = 0x5A;
inline constexpr uint8_t kWriteStd = 0x52;  // also the reply to a read
inline constexpr uint8_t kWriteExt = 0x5B;
inline constexpr uint8_t kSafeMode = 0x54;
inline constexpr uint8_t kRestart = 0x57;
inline constexpr uint8_t kFlash = 0x56;
inline constexpr uint8_t kStatus = 0x58;
inline constexpr uint8_t kGroupStd = 0x59;
inline constexpr uint8_t kGroupExt = 0x5C;
inline constexpr uint8_t kIdentify = 0x5F;
inline constexpr uint8_t kModuleReset = 0x33;
inline constexpr uint8_t kModuleStop = 0x32;
inline constexpr uint8_t kDebug = 0x30;
inline constexpr uint8_t kPageRead = 0x34;
inline constexpr uint8_t kPage = 0x31;  // page data, both directions
inline constexpr uint8_t kModuleWrite = 0x35;
inline constexpr uint8_t kQup = 0x61;
inline constexpr uint8_t kQupReset = 0x60;
}  // namespace sync

inline constexpr uint8_t kMotorAccept = 0x11;
inline constexpr uint8_t kModuleAccept = 0x22;

// True for the sync values of telegrams the host may send.
bool IsRequestSync(uint8_t s);

// One well-formed telegram: its sync value and its field values with the
// complements stripped.
struct Telegram {
  uint8_t sync = 0;
  std::vector<uint8_t> fields;
  std::vector<uint8_t> raw;  // the bytes as received
};

// sync ×3, each field and its complement, end sync.
std::vector<uint8_t> BuildFrame(uint8_t sync_byte, std::span<const uint8_t> fields);
std::vector<uint8_t> BuildFrame(uint8_t sync_byte, std::initializer_list<uint8_t> fields);
// Three equal accept bytes.
std::vector<uint8_t> Acceptance(uint8_t value);

std::string Hex(std::span<const uint8_t> bytes);

// Cuts the host's byte stream into telegrams the way a device listening on
// a shared line does: it hunts for three equal known sync bytes, takes
// complement-checked field pairs up to the end sync, and on anything else
// drops the attempt and hunts again from the byte after that sync. Bytes
// between telegrams are skipped.
class FrameParser {
 public:
  // Longest telegram the host sends is a page write: 130 fields.
  static constexpr size_t kMaxFields = 134;

  // Appends every telegram completed by `bytes` to `out`.
  void Feed(std::span<const uint8_t> bytes, std::vector<Telegram>& out);
  // Forgets a partly received telegram.
  void Clear() { buf_.clear(); }

  size_t buffered() const { return buf_.size(); }
  // Telegrams that started with a valid sync but broke a frame rule.
  uint64_t malformed() const { return malformed_; }
  // Bytes skipped while hunting for a sync.
  uint64_t skipped() const { return skipped_; }
  // The raw bytes of the most recent malformed attempt, for tracing.
  const std::vector<uint8_t>& last_malformed() const { return last_malformed_; }

 private:
  enum class Result { kComplete, kIncomplete, kMalformed };
  Result TryParse(size_t start, Telegram& t, size_t& end);

  std::vector<uint8_t> buf_;
  uint64_t malformed_ = 0;
  uint64_t skipped_ = 0;
  std::vector<uint8_t> last_malformed_;
};

}  // namespace qelcomm::sim

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

#include "qelcomm/protocol.h"

namespace qelcomm::sim {

namespace sync = protocol::sync;
using protocol::kEndSync;
using protocol::kModuleAccept;
using protocol::kMotorAccept;

// A telegram's start sync is sent this often, and the end sync twice.
inline constexpr size_t kSyncCount = 3;
inline constexpr size_t kFrameOverhead = kSyncCount + 2;

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
  // Longest telegram the host sends is a page write (address, page number
  // and the page), with a little room for a longer one the handler refuses.
  static constexpr size_t kMaxFields = 2 + protocol::kPageSize + 4;

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

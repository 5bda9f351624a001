// Telegram building: three equal sync bytes, one-byte fields each followed
// by its complement, multi-byte values least significant byte first, the
// end sync twice, no checksum.
#pragma once

#include <cstdint>
#include <vector>

#include "qelcomm/protocol.h"

namespace qelcomm::link {

inline uint8_t Complement(uint8_t b) { return static_cast<uint8_t>(~b); }
inline uint8_t LowByte(int32_t v) { return static_cast<uint8_t>(v & 0xFF); }

class Telegram {
 public:
  explicit Telegram(uint8_t sync) : bytes_{sync, sync, sync} {}
  // One field and its complement.
  Telegram& Field(uint8_t b) {
    bytes_.push_back(b);
    bytes_.push_back(Complement(b));
    return *this;
  }
  // The low `count` bytes of `value`, least significant first.
  Telegram& Value(uint32_t value, int count);
  Telegram& End() {
    bytes_.push_back(protocol::kEndSync);
    bytes_.push_back(protocol::kEndSync);
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The short telegram that carries nothing but the address: sync ×3, the
// address's low byte and its complement, end sync.
inline std::vector<uint8_t> AddressTelegram(uint8_t sync, int32_t address) {
  return Telegram(sync).Field(LowByte(address)).End().bytes();
}

}  // namespace qelcomm::link

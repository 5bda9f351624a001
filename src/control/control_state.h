// Everything one control object owns.
#pragma once

#include <array>
#include <cstdint>

#include "link/link.h"

namespace qelcomm {

struct ControlState {
  explicit ControlState(std::shared_ptr<Platform> platform) : link(std::move(platform)) {}

  link::Link link;
  // One flag per motor address; an address selects the flag of its low
  // byte, the byte that goes on the wire.
  std::array<bool, 256> big{};

  bool IsBig(int16_t address) const { return big[static_cast<uint8_t>(address)]; }
};

}  // namespace qelcomm

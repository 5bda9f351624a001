// Everything one control object owns.
#pragma once

#include <array>
#include <cstdint>

#include "commands/group_write.h"
#include "link/link.h"
#include "registers/scaling.h"

namespace qelcomm {

struct ControlState {
  explicit ControlState(std::shared_ptr<Platform> platform) : link(std::move(platform)) {}

  link::Link link;
  // One flag per motor address; an address selects the flag of its low
  // byte, the byte that goes on the wire.
  std::array<bool, 256> big{};
  registers::FactorSet standard_factors = registers::kStandardFactors;
  registers::FactorSet big_factors = registers::kBigFactors;
  commands::SequenceCounters sequence{};

  bool IsBig(int16_t address) const { return big[static_cast<uint8_t>(address)]; }
  const registers::FactorSet& FactorsFor(int16_t address) const {
    return IsBig(address) ? big_factors : standard_factors;
  }
};

}  // namespace qelcomm
